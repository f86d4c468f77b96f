// A chain: one sorted run on disk, as an ordered list of clusters of one index file with
// each cluster's first and last key kept in memory. Owned by a merge index and used on the
// query thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/ErrorCode.h"
#include "index/Cluster.h"
#include "index/Key.h"

namespace dovrel::index {

class IndexFile;

// Taken cluster after cluster, the keys of a chain form one sorted sequence, except that
// the last key of a cluster may continue into the next cluster (then finKey(i) equals
// startKey(i + 1)); a cluster may hold nothing but such a continuation.
//
// A chain is built with append() before it is navigated. Navigation keeps one cluster
// loaded (read on demand from the source file and reused while the position stays in it)
// until release(). Key scans always stand at the beginning of a key, so the values that
// follow are all of the key's values; nextValue()/peekValue() cross into the next cluster
// when the key continues there. Every navigation call may read the file: a failure returns
// its code and leaves the position undefined (the caller abandons the operation, as
// foundation/ErrorCode.h describes).
class Chain {
 public:
  // Returned by nextValue()/peekValue() when the current key has no more values.
  static constexpr uint32_t NO_VALUE = 0xFFFFFFFFu;

  // An empty chain of clusters of `source` (not owned; must outlive the chain) of
  // `clusterLength` bytes, with room for `capacity` clusters before its tables grow.
  Chain(IndexFile* source, uint32_t clusterLength, uint32_t capacity = 8);
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

  // Adds cluster `clusterNumber` whose first and last keys are `startKey` and `finKey`
  // (copied). Requires that nothing is loaded and that the keys continue the chain's order
  // (fatal otherwise). EM_NO_MEMORY leaves the chain unchanged.
  ErrorCode append(uint32_t clusterNumber, Key startKey, Key finKey);

  uint32_t chainLength() const { return static_cast<uint32_t>(clusterNumbers_.size()); }
  uint32_t clusterNumber(uint32_t i) const { return clusterNumbers_[i]; }
  Key startKey(uint32_t i) const { return keys_.data() + startOffsets_[i]; }
  Key finKey(uint32_t i) const { return keys_.data() + finOffsets_[i]; }
  // Set while the chain is a source of a merge in progress.
  bool inMerge() const { return inMerge_; }
  void setInMerge(bool inMerge) { inMerge_ = inMerge; }

  // Positions on the first key not smaller than `key` and sets `code` to its search code
  // (0, 1 or 2): SEARCH_SMALLER, positioned after the end, when every key is smaller; that
  // case is decided from the kept keys without reading the file.
  ErrorCode find(Key key, SearchCode& code);
  // Steps to the next key: from before the start to the first key. `onKey` false at the
  // end (positioned after the end).
  ErrorCode nextKey(bool& onKey);
  // Steps to the previous key: from after the end to the last key. `onKey` false at the
  // start (positioned before the start).
  ErrorCode prevKey(bool& onKey);
  // keyMin before the start, keyMax after the end, else the current key (valid until the
  // chain moves).
  Key currentKey() const;
  // Sets `value` to the next value of the current key with bit 31 cleared, or NO_VALUE.
  // Requires a current key.
  ErrorCode nextValue(uint32_t& value) { return valueAcrossClusters(true, value); }
  // The same without consuming the value (it may still move into the next cluster).
  ErrorCode peekValue(uint32_t& value) { return valueAcrossClusters(false, value); }
  // Appends every value of the current key not read yet (bit 31 cleared) to `out`, as
  // nextValue() until NO_VALUE would, a cluster's share at a time. Throws std::bad_alloc
  // when `out` cannot grow (the values already taken are then lost with the position).
  ErrorCode takeValues(std::vector<uint32_t>& out);
  // Frees the loaded cluster; the position becomes before the start.
  void release();

  // -1 before the start, chainLength() after the end, else the index of the cluster that
  // holds the current key.
  int32_t currentPos() const { return currentPos_; }
  // For merges, which walk a source cluster by cluster: makes cluster `i` the loaded one
  // (reading it unless it already is) and sets `cluster` to it, positioned on its first
  // key.
  ErrorCode loadCluster(uint32_t i, Cluster*& cluster);

 private:
  // Moves back from a key that continues from earlier clusters to the cluster where it
  // begins, positioned on that cluster's last key.
  ErrorCode settleAtKeyStart();
  ErrorCode valueAcrossClusters(bool consume, uint32_t& value);

  void appendKey(Key key, std::vector<uint32_t>& offsets);

  IndexFile* source_;
  uint32_t clusterLength_;
  std::vector<uint32_t> clusterNumbers_;
  std::vector<uint32_t> startOffsets_;  // into keys_
  std::vector<uint32_t> finOffsets_;    // into keys_
  std::vector<uint8_t> keys_;           // the copies of every startKey and finKey
  std::unique_ptr<Cluster> cluster_;    // created on first load
  int32_t loadedPos_ = -1;              // index of the cluster whose bytes cluster_ holds
  int32_t currentPos_ = -1;
  bool inMerge_ = false;
};

}  // namespace dovrel::index
