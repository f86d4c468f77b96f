// The directory of a committed index as read back from its clusters: the shape of every
// chain and of every merge in progress. Read once when an index is opened, on the query
// thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/ErrorCode.h"
#include "index/IndexFormat.h"
#include "index/Key.h"

namespace dovrel::index {

class Cluster;
class IndexFile;

// One cluster of a chain with copies of its first and last key (length byte included).
struct DirectoryClusterEntry {
  uint32_t number = 0;
  std::string startKey;
  std::string finKey;

  Key start() const { return reinterpret_cast<Key>(startKey.data()); }
  Key fin() const { return reinterpret_cast<Key>(finKey.data()); }
};

// The clusters of one chain, in order. A chain of the list of chains is never empty, its
// keys never go backwards (each startKey <= finKey, each finKey <= the next startKey), and
// its cluster numbers are not yet checked against the file or each other.
struct DirectoryChain {
  std::vector<DirectoryClusterEntry> clusters;
};

// A merge in progress: its eleven numbers (indexed by MergeRecordField, bit 31 removed)
// and the output chain written so far, which may be empty (a merge another writer
// committed before its first step; MergeTask::restore takes it as not yet written).
struct DirectoryMerge {
  std::array<uint32_t, MERGE_RECORD_NUMBERS> numbers{};
  DirectoryChain output;
};

struct Directory {
  std::vector<DirectoryChain> chains;  // oldest first
  std::vector<DirectoryMerge> merges;  // in stack order, oldest first
  // Every cluster the directory itself occupies, the first one first. Each is below the
  // file's cluster count and appears once. Mark these before checking chain clusters, so
  // a chain that names a directory cluster is caught as a double reference.
  std::vector<uint32_t> directoryClusters;
};

// Reads the directory that starts in cluster `firstCluster` of `file`, using `buffer` (a
// cluster of the file's length) for each of its clusters. EM_BAD_DATA when a directory
// cluster number is out of range or repeats, when an entry breaks the layout (a key with
// more or less than one value, a value without bit 31, a list that is not ended, a
// non-empty key where the empty one belongs, keys out of order); EM_READ / EM_BAD_DATA
// from reading its clusters; EM_NO_MEMORY. `out` is complete only on success, and empty
// after a failure.
ErrorCode readDirectory(IndexFile& file, Cluster& buffer, uint32_t firstCluster, Directory* out);

}  // namespace dovrel::index
