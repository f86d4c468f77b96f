// ClusterCache: the least-recently-used list of validated clusters behind one mutex. Any
// thread.
#include "index/ClusterCache.h"

#include <algorithm>
#include <atomic>
#include <limits>

#include "platform/Env.h"

namespace dovrel::index {

std::size_t ClusterCache::capacityForMemory(uint64_t memoryBytes) {
  const uint64_t eighth =
      std::min<uint64_t>(memoryBytes / 8, std::numeric_limits<std::size_t>::max());
  return std::max(DEFAULT_CAPACITY, static_cast<std::size_t>(eighth));
}

ClusterCache& ClusterCache::shared() {
  // Never destroyed: index files held by other static objects may still close during the
  // process's exit and drop their entries here. Entries take memory only as clusters are
  // read, so a large bound costs nothing until the indexes need it.
  static ClusterCache* const cache =
      new ClusterCache(capacityForMemory(platform::physicalMemoryBytes()));
  return *cache;
}

uint64_t ClusterCache::newFileIdentity() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

void ClusterCache::setCapacity(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  capacity_ = bytes;
  evictTo(capacity_);
}

std::size_t ClusterCache::capacity() const {
  std::lock_guard lock(mutex_);
  return capacity_;
}

ClusterCache::Cached ClusterCache::find(uint64_t file, uint32_t cluster) {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(Key{file, cluster});
  if (found == entries_.end()) {
    ++misses_;
    return Cached{};
  }
  ++hits_;
  order_.splice(order_.begin(), order_, found->second);
  return found->second->cached;
}

void ClusterCache::insert(uint64_t file, uint32_t cluster, Cached cached) {
  const std::size_t size =
      cached.bytes->size() +
      (cached.marks != nullptr ? cached.marks->size() * sizeof(Cluster::KeyMark) : 0);
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(Key{file, cluster});
  if (found != entries_.end()) eraseAt(found->second);
  if (size > capacity_) return;
  evictTo(capacity_ - size);
  // A failed allocation here only means the cluster is not kept.
  try {
    order_.push_front(Entry{Key{file, cluster}, std::move(cached), size});
  } catch (const std::bad_alloc&) {
    return;
  }
  try {
    entries_.emplace(Key{file, cluster}, order_.begin());
  } catch (const std::bad_alloc&) {
    order_.pop_front();
    return;
  }
  used_ += size;
}

void ClusterCache::erase(uint64_t file, uint32_t cluster) {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(Key{file, cluster});
  if (found != entries_.end()) eraseAt(found->second);
}

void ClusterCache::eraseFile(uint64_t file) {
  std::lock_guard lock(mutex_);
  for (auto position = order_.begin(); position != order_.end();) {
    const auto next = std::next(position);
    if (position->key.file == file) eraseAt(position);
    position = next;
  }
}

void ClusterCache::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  order_.clear();
  used_ = 0;
}

std::size_t ClusterCache::usedBytes() const {
  std::lock_guard lock(mutex_);
  return used_;
}

std::size_t ClusterCache::entryCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

uint64_t ClusterCache::hits() const {
  std::lock_guard lock(mutex_);
  return hits_;
}

uint64_t ClusterCache::misses() const {
  std::lock_guard lock(mutex_);
  return misses_;
}

void ClusterCache::evictTo(std::size_t limit) {
  while (used_ > limit && !order_.empty()) eraseAt(std::prev(order_.end()));
}

void ClusterCache::eraseAt(Order::iterator position) {
  used_ -= position->size;
  entries_.erase(position->key);
  order_.erase(position);
}

}  // namespace dovrel::index
