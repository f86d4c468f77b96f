// Writing the directory of a commit: the shape of every chain and of every merge in
// progress, as key/value entries in a linked list of directory clusters. Used by the merge
// index in its first commit phase, on the query thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "foundation/ErrorCode.h"
#include "index/IndexFormat.h"
#include "index/Key.h"

namespace dovrel::index {

class Chain;
class Cluster;
class IndexFile;

// Call in this order: addChain() (or addChainCluster()... endList()) for each chain,
// endList(); then for each merge in progress addMerge() and its output chain ending with
// endList(); then endList() and finish(). After a failed call the directory is abandoned
// (the commit fails); no further call is made.
//
// When fewer than DIRECTORY_MIN_FREE bytes remain after a chain cluster's entries, the
// writer takes a new cluster through `takeCluster`, links it and goes on there. The
// directory clusters are written as each fills and by finish(); none is synced here.
class DirectoryWriter {
 public:
  // Sets its argument to a fresh cluster number of `file` for the next directory cluster
  // (the caller records it as a directory cluster), or fails.
  using TakeCluster = std::function<ErrorCode(uint32_t& number)>;

  // Writes into `buffer` (a cluster of the file's length, cleared here) for cluster
  // `firstCluster`. `file`, `buffer` and `takeCluster` must outlive the writer.
  DirectoryWriter(IndexFile& file, Cluster& buffer, uint32_t firstCluster, TakeCluster takeCluster);

  // The two entries of one chain cluster: (first key, number | bit 31) and (last key,
  // number | bit 31); then the continuation rule.
  ErrorCode addChainCluster(uint32_t number, Key startKey, Key finKey);
  // Every cluster of `chain` and the end of the chain.
  ErrorCode addChain(const Chain& chain);
  // (empty key, DIRECTORY_END): ends a chain, the list of chains or the list of merges.
  // Never fails: the continuation rule leaves room for it.
  void endList();
  // The eleven numbers of a merge in progress (each below 2^31), indexed by
  // MergeRecordField. Its output chain follows and must hold at least one cluster, so
  // that the continuation rule keeps the directory cluster from overflowing.
  void addMerge(const std::array<uint32_t, MERGE_RECORD_NUMBERS>& numbers);
  // Writes the last directory cluster.
  ErrorCode finish();

 private:
  void addEntry(Key key, uint32_t value);

  IndexFile& file_;
  Cluster& buffer_;
  uint32_t current_;
  TakeCluster takeCluster_;
};

}  // namespace dovrel::index
