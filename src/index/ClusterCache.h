// ClusterCache: a bounded, process-wide store of clusters that were read from index files
// and passed validation, or were just written, so that repeated searches and merges reuse
// them instead of reading and checking the same bytes again. Thread-safe: every call may come from
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "index/AlignedBuffer.h"
#include "index/Cluster.h"

namespace dovrel::index {

// An entry is the exact bytes of one cluster of one open index file, as read and validated,
// or as the index file wrote them (a cluster the engine built is valid by construction),
// while no other write to that cluster happened since. Entries are found by the file's identity,
// a number that every create or open of an index file draws afresh (so nothing survives a
// close, a reopen after a crash, a rollback by reopening, or a dropped and re-created file
// of the same name), and the cluster number. The index file drops the entry of a cluster
// before it writes that cluster, and all entries of a file when it closes; merges, commits,
// optimize and the reuse of freed clusters all write through it. The cache therefore holds
// nothing that differs from the bytes on disk, and never changes a byte on disk.
//
// The entries' bytes are immutable and shared: a reader holds its entry while it navigates
// the cluster, even after the entry was evicted or dropped. The least recently used
// entries are evicted to stay within the capacity.
class ClusterCache {
 public:
  using Bytes = std::shared_ptr<const AlignedBuffer>;
  using Marks = std::shared_ptr<const Cluster::KeyMarks>;
  // One cluster's bytes, and the key marks made from them (may be empty).
  struct Cached {
    Bytes bytes;
    Marks marks;
  };

  static constexpr std::size_t DEFAULT_CAPACITY = std::size_t{64} << 20;

  // The capacity of the shared cache on a machine (or control group) with `memoryBytes` of
  // memory: an eighth of it, at least DEFAULT_CAPACITY (also when the memory is unknown, 0).
  static std::size_t capacityForMemory(uint64_t memoryBytes);

  // The cache all index files of the process use, with the capacity capacityForMemory gives
  // for platform::physicalMemoryBytes.
  static ClusterCache& shared();
  // A file identity never handed out before in this process.
  static uint64_t newFileIdentity();

  explicit ClusterCache(std::size_t capacity = DEFAULT_CAPACITY) : capacity_(capacity) {}
  ClusterCache(const ClusterCache&) = delete;
  ClusterCache& operator=(const ClusterCache&) = delete;

  // The most bytes the entries may hold together; 0 turns the cache off. Lowering it
  // evicts at once.
  void setCapacity(std::size_t bytes);
  std::size_t capacity() const;
  bool enabled() const { return capacity() > 0; }

  // The entry of cluster `cluster` of file `file`, now the most recently used; empty bytes
  // when there is none.
  Cached find(uint64_t file, uint32_t cluster);
  // Enters validated cluster bytes (which nobody may change from now on) with their marks,
  // replacing any entry of the same cluster; does nothing when they are larger than the
  // capacity.
  void insert(uint64_t file, uint32_t cluster, Cached cached);
  // Drops the entry of one cluster (it is about to be written), or of every cluster of a
  // file (it is closing).
  void erase(uint64_t file, uint32_t cluster);
  void eraseFile(uint64_t file);
  void clear();

  // For tests and diagnostics.
  std::size_t usedBytes() const;
  std::size_t entryCount() const;
  uint64_t hits() const;
  uint64_t misses() const;

 private:
  struct Key {
    uint64_t file;
    uint32_t cluster;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const {
      return std::hash<uint64_t>()(key.file * 0x9E3779B97F4A7C15ull ^ key.cluster);
    }
  };
  struct Entry {
    Key key;
    Cached cached;
    std::size_t size;  // bytes and marks
  };
  using Order = std::list<Entry>;  // most recently used first

  void evictTo(std::size_t limit);
  void eraseAt(Order::iterator position);

  mutable std::mutex mutex_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  uint64_t hits_ = 0;
  uint64_t misses_ = 0;
  Order order_;
  std::unordered_map<Key, Order::iterator, KeyHash> entries_;
};

}  // namespace dovrel::index
