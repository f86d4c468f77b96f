// Which clusters of an index file are in use: a reference count per cluster, the marks of
// directory clusters, and the stack of free clusters that new chains and directories take
// from. Owned by one merge index; query thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/ErrorCode.h"

namespace dovrel::index {

class IndexFile;

// An entry of the map: 0 = free; 1 or 2 = references (one from the current chains or a
// merge's output chain, one from the last committed state); DIRECTORY_CURRENT = a
// directory cluster of the commit being prepared or last made; DIRECTORY_PREVIOUS = a
// directory cluster of the commit before, freed when the current commit completes.
//
// A cluster goes back on the free list only when nothing references it, so a cluster that
// the last committed state names is never handed out (and overwritten) before the commit
// that stops needing it completes.
class ClusterMap {
 public:
  static constexpr uint32_t DIRECTORY_CURRENT = 0xFFFFFFFFu;
  static constexpr uint32_t DIRECTORY_PREVIOUS = 0xFFFFFFFEu;

  // `file` must outlive the map. The map starts empty (for a new file).
  explicit ClusterMap(IndexFile& file) : file_(file) {}
  ClusterMap(const ClusterMap&) = delete;
  ClusterMap& operator=(const ClusterMap&) = delete;

  // One entry per cluster of the file, all free-to-be-decided (0) and no free list: the
  // state while an opened file's directory is walked. EM_NO_MEMORY on failure.
  ErrorCode resetForOpen();
  // Claims `number` for a chain found in the directory (count 1). EM_BAD_DATA when it is
  // beyond the file or already claimed: a directory that names a cluster twice is corrupt.
  ErrorCode claim(uint32_t number);
  // Claims `number` as a directory cluster of the committed state. Same refusals, and
  // EM_NO_MEMORY.
  ErrorCode claimDirectory(uint32_t number);
  // After the walk: every unclaimed cluster goes on the free list, the lowest on top.
  ErrorCode buildFreeList();

  // Sets `number` to a cluster with one reference: from the free list, or appended to the
  // file when the list is empty. EM_EXTEND / EM_NO_MEMORY on failure (nothing taken).
  ErrorCode take(uint32_t& number);
  // Adds a reference (the committed state's) to a referenced cluster.
  void addReference(uint32_t number);
  // Drops a reference; a cluster without references goes on the free list.
  void release(uint32_t number);

  // A cluster for the directory being written (marked DIRECTORY_CURRENT). Nothing taken on
  // failure.
  ErrorCode takeDirectory(uint32_t& number);
  // The last commit's directory becomes the previous one (first commit phase).
  void retireDirectory();
  // Frees the previous directory (second commit phase).
  void freePreviousDirectory();

  IndexFile& file() const { return file_; }
  uint32_t entry(uint32_t number) const { return map_[number]; }
  uint32_t freeCount() const { return static_cast<uint32_t>(free_.size()); }
  uint32_t size() const { return static_cast<uint32_t>(map_.size()); }

 private:
  // Ensures that the free list can take every cluster, so release() never allocates.
  ErrorCode reserveFor(std::size_t clusters);

  IndexFile& file_;
  std::vector<uint32_t> map_;
  std::vector<uint32_t> free_;
  std::vector<uint32_t> currentDirectory_;
  std::vector<uint32_t> previousDirectory_;
};

}  // namespace dovrel::index
