// The merge pool: new (key, value) entries gathered in memory as sorted runs of doubling
// sizes inside one cluster-sized buffer, poured out as one sorted run when full. Used on
// the query thread only; all pools of the process share two scratch buffers.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "foundation/ErrorCode.h"
#include "index/IndexFormat.h"
#include "index/Key.h"

namespace dovrel::index {

class Cluster;

// Runs are kept in the run format: per entry in increasing key order, the key as stored in
// a cluster (length, bytes, length) and its values as little-endian u32 in increasing
// (v | 1) order, the last value of the entry with bit 31 set. A run takes exactly the
// bytes that its entries take in a cluster.
//
// Values are compared as (v | 1): two values differing only in bit 0 are one document, and
// when they meet the newer one is kept. The pool therefore never holds two records of one
// document under one key.
//
// The scratch buffers are shared by every pool of the process: once insert() reports full
// (or pourOut() returns true), the poured-out run must be taken with fill() before any
// other pool is used. The single query thread guarantees that; nothing here locks.
class MergePool {
 public:
  // Sets `out` to a pool for clusters of `clusterLength` bytes (a power of two from 2^16 to
  // 2^24, fatal otherwise). EM_NO_MEMORY, `out` unchanged, when its buffer or the shared
  // scratch buffers cannot be allocated.
  static ErrorCode create(uint32_t clusterLength, std::unique_ptr<MergePool>& out);

  ~MergePool();
  MergePool(const MergePool&) = delete;
  MergePool& operator=(const MergePool&) = delete;

  // Adds (key, value), value below 2^31 (fatal otherwise). Returns true when the pool has
  // been poured out into the scratch run and must be emptied into a cluster with fill()
  // now; the pool is then empty. Never allocates.
  bool insert(Key key, uint32_t value);
  // Merges every level into one scratch run and empties the levels. False (nothing done)
  // when the pool is empty.
  bool pourOut();
  // Clears `cluster` and copies the scratch run into it. Requires a poured-out run.
  static void fill(Cluster& cluster);

  bool isEmpty() const;
  uint32_t levelCount() const { return levelCount_; }
  // Bytes of run held by level i (0 when empty).
  uint32_t levelRunSize(uint32_t i) const { return levelSize_[i]; }

 private:
  static constexpr uint32_t MAX_LEVELS = MAX_CLUSTER_SIZE_LOG - 4;

  MergePool(uint32_t clusterLength, std::unique_ptr<uint8_t[]> buffer);
  uint8_t* level(uint32_t i) const { return buffer_.get() + (POOL_LEVEL0_SIZE << i); }

  uint32_t clusterLength_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t levelCount_;
  std::array<uint32_t, MAX_LEVELS> levelSize_{};
};

}  // namespace dovrel::index
