// Cluster reference counts, directory marks and the free list of an index file. Called by
// the merge index and its merges on the query thread only.
#include "index/ClusterMap.h"

#include <algorithm>

#include "foundation/Assert.h"
#include "index/AlignedBuffer.h"
#include "index/IndexFile.h"

namespace dovrel::index {

bool ClusterMap::reserveFor(std::size_t clusters, ErrorCode& error) {
  return guardAllocation(error, [&] {
    if (map_.capacity() < clusters || free_.capacity() < clusters) {
      std::size_t capacity = std::max<std::size_t>(clusters, 2 * map_.capacity());
      map_.reserve(capacity);
      free_.reserve(capacity);
    }
  });
}

void ClusterMap::resetForOpen(ErrorCode& error) {
  map_.clear();
  free_.clear();
  currentDirectory_.clear();
  previousDirectory_.clear();
  if (!reserveFor(2 * std::size_t{file_.clusterNum()}, error)) return;
  map_.assign(file_.clusterNum(), 0);
}

void ClusterMap::claim(uint32_t number, ErrorCode& error) {
  if (number >= map_.size() || map_[number] != 0) {
    error = EM_BAD_DATA;
    return;
  }
  map_[number] = 1;
}

void ClusterMap::claimDirectory(uint32_t number, ErrorCode& error) {
  if (number >= map_.size() || map_[number] != 0) {
    error = EM_BAD_DATA;
    return;
  }
  if (!guardAllocation(error, [&] { currentDirectory_.push_back(number); })) return;
  map_[number] = DIRECTORY_CURRENT;
}

void ClusterMap::buildFreeList(ErrorCode& error) {
  if (!reserveFor(map_.size(), error)) return;
  for (std::size_t i = map_.size(); i-- > 0;) {
    if (map_[i] == 0) free_.push_back(static_cast<uint32_t>(i));
  }
}

uint32_t ClusterMap::take(ErrorCode& error) {
  if (free_.empty()) {
    if (!reserveFor(map_.size() + 1, error)) return 0;
    uint32_t number = file_.append(error);
    if (error != EM_NO_ERRORS) return 0;
    DOVREL_ASSERT(number == map_.size());
    map_.push_back(0);
    free_.push_back(number);
  }
  uint32_t number = free_.back();
  free_.pop_back();
  DOVREL_ASSERT(map_[number] == 0);
  map_[number] = 1;
  return number;
}

void ClusterMap::addReference(uint32_t number) {
  DOVREL_ASSERT_TEXT(number < map_.size(), "pos < dataFile.clusterNum");
  DOVREL_ASSERT(map_[number] != 0 && map_[number] < DIRECTORY_PREVIOUS - 1);
  ++map_[number];
}

void ClusterMap::release(uint32_t number) {
  DOVREL_ASSERT_TEXT(number < map_.size(), "pos < dataFile.clusterNum");
  DOVREL_ASSERT_TEXT(map_[number] != DIRECTORY_CURRENT, "dataMap[pos] != max_u32");
  DOVREL_ASSERT(map_[number] != DIRECTORY_PREVIOUS);
  DOVREL_ASSERT_TEXT(map_[number] != 0, "dataMap[pos] != 0");
  if (--map_[number] == 0) free_.push_back(number);  // capacity reserved with the map
}

uint32_t ClusterMap::takeDirectory(ErrorCode& error) {
  if (!guardAllocation(error, [&] { currentDirectory_.reserve(currentDirectory_.size() + 1); })) {
    return 0;
  }
  uint32_t number = take(error);
  if (error != EM_NO_ERRORS) return 0;
  map_[number] = DIRECTORY_CURRENT;
  currentDirectory_.push_back(number);
  return number;
}

void ClusterMap::retireDirectory() {
  for (uint32_t number : currentDirectory_) map_[number] = DIRECTORY_PREVIOUS;
  // A previous directory still listed (a first phase that failed and is being repeated)
  // keeps its place on the list, so it is freed together with this one.
  ErrorCode ignored = EM_NO_ERRORS;
  if (previousDirectory_.empty()) {
    previousDirectory_.swap(currentDirectory_);
  } else if (guardAllocation(ignored, [&] {
               previousDirectory_.insert(previousDirectory_.end(), currentDirectory_.begin(),
                                         currentDirectory_.end());
             })) {
    currentDirectory_.clear();
  }
}

void ClusterMap::freePreviousDirectory() {
  for (uint32_t number : previousDirectory_) {
    if (map_[number] != DIRECTORY_PREVIOUS) continue;
    map_[number] = 0;
    free_.push_back(number);
  }
  previousDirectory_.clear();
}

}  // namespace dovrel::index
