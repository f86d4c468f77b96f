// Cluster reference counts, directory marks and the free list of an index file. Called by
// the merge index and its merges on the query thread only.
#include "index/ClusterMap.h"

#include <algorithm>

#include "foundation/Assert.h"
#include "index/AlignedBuffer.h"
#include "index/IndexFile.h"

namespace dovrel::index {

ErrorCode ClusterMap::reserveFor(std::size_t clusters) {
  return guardAllocation([&] {
    if (map_.capacity() < clusters || free_.capacity() < clusters) {
      std::size_t capacity = std::max<std::size_t>(clusters, 2 * map_.capacity());
      map_.reserve(capacity);
      free_.reserve(capacity);
    }
  });
}

ErrorCode ClusterMap::resetForOpen() {
  map_.clear();
  free_.clear();
  currentDirectory_.clear();
  previousDirectory_.clear();
  if (ErrorCode error = reserveFor(2 * std::size_t{file_.clusterNum()})) return error;
  map_.assign(file_.clusterNum(), 0);
  return EM_NO_ERRORS;
}

ErrorCode ClusterMap::claim(uint32_t number) {
  if (number >= map_.size() || map_[number] != 0) return EM_BAD_DATA;
  map_[number] = 1;
  return EM_NO_ERRORS;
}

ErrorCode ClusterMap::claimDirectory(uint32_t number) {
  if (number >= map_.size() || map_[number] != 0) return EM_BAD_DATA;
  if (ErrorCode error = guardAllocation([&] { currentDirectory_.push_back(number); })) {
    return error;
  }
  map_[number] = DIRECTORY_CURRENT;
  return EM_NO_ERRORS;
}

ErrorCode ClusterMap::buildFreeList() {
  if (ErrorCode error = reserveFor(map_.size())) return error;
  for (std::size_t i = map_.size(); i-- > 0;) {
    if (map_[i] == 0) free_.push_back(static_cast<uint32_t>(i));
  }
  return EM_NO_ERRORS;
}

ErrorCode ClusterMap::take(uint32_t& number) {
  if (free_.empty()) {
    if (ErrorCode error = reserveFor(map_.size() + 1)) return error;
    uint32_t appended = 0;
    if (ErrorCode error = file_.append(appended)) return error;
    DOVREL_ASSERT(appended == map_.size());
    map_.push_back(0);
    free_.push_back(appended);
  }
  number = free_.back();
  free_.pop_back();
  DOVREL_ASSERT(map_[number] == 0);
  map_[number] = 1;
  return EM_NO_ERRORS;
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

ErrorCode ClusterMap::takeDirectory(uint32_t& number) {
  if (ErrorCode error =
          guardAllocation([&] { currentDirectory_.reserve(currentDirectory_.size() + 1); })) {
    return error;
  }
  if (ErrorCode error = take(number)) return error;
  map_[number] = DIRECTORY_CURRENT;
  currentDirectory_.push_back(number);
  return EM_NO_ERRORS;
}

void ClusterMap::retireDirectory() {
  for (uint32_t number : currentDirectory_) map_[number] = DIRECTORY_PREVIOUS;
  // A previous directory still listed (a first phase that failed and is being repeated)
  // keeps its place on the list, so it is freed together with this one.
  if (previousDirectory_.empty()) {
    previousDirectory_.swap(currentDirectory_);
  } else if (guardAllocation([&] {
               previousDirectory_.insert(previousDirectory_.end(), currentDirectory_.begin(),
                                         currentDirectory_.end());
             }) == EM_NO_ERRORS) {
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
