// Chain navigation across clusters, including keys continued from one cluster into the
// next. Called by the merge index on the query thread only.
//
// Invariants kept between calls:
//  1. currentPos_ in [0, chainLength) means cluster_ holds that cluster (loadedPos_ ==
//     currentPos_) and is positioned on a real key.
//  2. After find, nextKey and prevKey the current key is at its beginning: either it is
//     not the first key of its cluster, or that cluster does not continue the previous
//     cluster's last key. Only nextValue/peekValue move into a continuation.
//  3. Every loaded cluster's first and last keys equal the kept startKey and finKey, so
//     the steps below may rely on them; a cluster that disagrees is EM_BAD_DATA.
#include "index/Chain.h"

#include <algorithm>
#include <limits>

#include "foundation/Assert.h"
#include "index/AlignedBuffer.h"
#include "index/IndexFile.h"

namespace dovrel::index {

Chain::Chain(IndexFile* source, uint32_t clusterLength, uint32_t capacity)
    : source_(source), clusterLength_(clusterLength) {
  DOVREL_ASSERT(source != nullptr);
  // A failed reservation only postpones the allocation to append(), which reports it.
  uint32_t tableLength = std::max<uint32_t>(8, capacity);
  (void)guardAllocation([&] {
    clusterNumbers_.reserve(tableLength);
    startOffsets_.reserve(tableLength);
    finOffsets_.reserve(tableLength);
    keys_.reserve(16 * std::size_t{tableLength});
  });
}

void Chain::appendKey(Key key, std::vector<uint32_t>& offsets) {
  offsets.push_back(static_cast<uint32_t>(keys_.size()));
  keys_.insert(keys_.end(), key, key + keySize(key));
}

ErrorCode Chain::append(uint32_t clusterNumber, Key startKey, Key finKey) {
  DOVREL_ASSERT_TEXT(loadedPos_ < 0 && currentPos_ < 0, "currentCluster == null");
  DOVREL_ASSERT(chainLength() < static_cast<uint32_t>(std::numeric_limits<int32_t>::max()));
  DOVREL_ASSERT(keyCompare(startKey, finKey) <= 0);
  DOVREL_ASSERT(chainLength() == 0 || keyCompare(this->finKey(chainLength() - 1), startKey) <= 0);
  std::size_t keyBytes = keys_.size() + keySize(startKey) + keySize(finKey);
  ErrorCode error = guardAllocation([&] {
    // Grow everything first, geometrically, so that a failure changes nothing.
    if (clusterNumbers_.size() == clusterNumbers_.capacity()) {
      std::size_t capacity = std::max<std::size_t>(8, 2 * clusterNumbers_.capacity());
      clusterNumbers_.reserve(capacity);
      startOffsets_.reserve(capacity);
      finOffsets_.reserve(capacity);
    }
    if (keyBytes > keys_.capacity()) {
      keys_.reserve(std::max(keyBytes, 2 * keys_.capacity()));
    }
  });
  if (error != EM_NO_ERRORS) return error;
  clusterNumbers_.push_back(clusterNumber);
  appendKey(startKey, startOffsets_);
  appendKey(finKey, finOffsets_);
  return EM_NO_ERRORS;
}

ErrorCode Chain::loadCluster(uint32_t i, Cluster*& cluster) {
  DOVREL_ASSERT_TEXT(i < chainLength(), "currentPos < (i32)chainLength");
  if (cluster_ == nullptr) {
    if (ErrorCode error = Cluster::createReader(clusterLength_, cluster_)) return error;
  }
  if (loadedPos_ != static_cast<int32_t>(i)) {
    loadedPos_ = -1;
    ErrorCode readError = source_->readCluster(*cluster_, clusterNumbers_[i]);
    if (readError == EM_NO_ERRORS && (!keyEqual(cluster_->firstKey(), startKey(i)) ||
                                      !keyEqual(cluster_->lastKey(), finKey(i)))) {
      readError = EM_BAD_DATA;
    }
    if (readError != EM_NO_ERRORS) {
      currentPos_ = -1;
      return readError;
    }
    loadedPos_ = static_cast<int32_t>(i);
  }
  cluster_->first();
  currentPos_ = static_cast<int32_t>(i);
  cluster = cluster_.get();
  return EM_NO_ERRORS;
}

ErrorCode Chain::find(Key key, SearchCode& code) {
  uint32_t length = chainLength();
  if (length == 0 || keyCompare(key, finKey(length - 1)) > 0) {
    currentPos_ = static_cast<int32_t>(length);
    code = SEARCH_SMALLER;
    return EM_NO_ERRORS;
  }
  // The first cluster whose last key is not smaller than `key`.
  uint32_t lo = 0;
  uint32_t hi = length;
  while (hi - lo > 1) {
    uint32_t mid = (lo + hi) / 2;
    if (keyCompare(key, finKey(mid - 1)) > 0) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  DOVREL_ASSERT(lo < length);
  Cluster* cluster = nullptr;
  if (ErrorCode error = loadCluster(lo, cluster)) return error;
  code = cluster->find(key);
  // The cluster's last key is not smaller than `key` (invariant 3).
  DOVREL_ASSERT(code != SEARCH_SMALLER);
  return EM_NO_ERRORS;
}

ErrorCode Chain::nextKey(bool& onKey) {
  int32_t length = static_cast<int32_t>(chainLength());
  onKey = false;
  if (length == 0 || currentPos_ >= length) {
    currentPos_ = length;
    return EM_NO_ERRORS;
  }
  Cluster* cluster = nullptr;
  if (currentPos_ < 0) {
    if (ErrorCode error = loadCluster(0, cluster)) return error;
    onKey = true;
    return EM_NO_ERRORS;
  }
  DOVREL_ASSERT(currentPos_ == loadedPos_);
  if (cluster_->nextKey()) {
    onKey = true;
    return EM_NO_ERRORS;
  }
  // Skip the clusters that hold nothing but the continuation of the key just left.
  Key left = finKey(static_cast<uint32_t>(currentPos_));
  int32_t next = currentPos_ + 1;
  while (next < length && keyEqual(finKey(static_cast<uint32_t>(next)), left)) ++next;
  if (next == length) {
    currentPos_ = length;
    return EM_NO_ERRORS;
  }
  if (ErrorCode error = loadCluster(static_cast<uint32_t>(next), cluster)) return error;
  if (keyEqual(cluster->currentKey(), left)) {
    // The cluster's last key differs from `left`, so a key of its own follows.
    bool more = cluster->nextKey();
    DOVREL_ASSERT(more);
  }
  onKey = true;
  return EM_NO_ERRORS;
}

ErrorCode Chain::settleAtKeyStart() {
  if (currentPos_ <= 0 || !cluster_->atFirstKey()) return EM_NO_ERRORS;
  Key key = cluster_->currentKey();
  if (!keyEqual(key, finKey(static_cast<uint32_t>(currentPos_ - 1)))) return EM_NO_ERRORS;
  int32_t begin = currentPos_ - 1;
  while (begin > 0 && keyEqual(finKey(static_cast<uint32_t>(begin - 1)), key)) --begin;
  Cluster* cluster = nullptr;
  if (ErrorCode error = loadCluster(static_cast<uint32_t>(begin), cluster)) return error;
  cluster->last();
  return EM_NO_ERRORS;
}

ErrorCode Chain::prevKey(bool& onKey) {
  int32_t length = static_cast<int32_t>(chainLength());
  onKey = false;
  if (currentPos_ < 0 || length == 0) {
    currentPos_ = -1;
    return EM_NO_ERRORS;
  }
  Cluster* cluster = nullptr;
  if (currentPos_ >= length) {
    if (ErrorCode error = loadCluster(static_cast<uint32_t>(length - 1), cluster)) return error;
    cluster->last();
    if (ErrorCode error = settleAtKeyStart()) return error;
    onKey = true;
    return EM_NO_ERRORS;
  }
  DOVREL_ASSERT(currentPos_ == loadedPos_);
  // A continuation reached through nextValue steps back from where its key begins.
  if (ErrorCode error = settleAtKeyStart()) return error;
  if (cluster_->prevKey()) {
    if (ErrorCode error = settleAtKeyStart()) return error;
    onKey = true;
    return EM_NO_ERRORS;
  }
  // At the first key of the cluster: its previous key is the last key of the clusters
  // before, and begins in the first of those that end with it.
  int32_t previous = currentPos_ - 1;
  if (previous < 0) {
    currentPos_ = -1;
    return EM_NO_ERRORS;
  }
  while (previous > 0 && keyEqual(finKey(static_cast<uint32_t>(previous)),
                                  finKey(static_cast<uint32_t>(previous - 1)))) {
    --previous;
  }
  if (ErrorCode error = loadCluster(static_cast<uint32_t>(previous), cluster)) return error;
  cluster->last();
  onKey = true;
  return EM_NO_ERRORS;
}

Key Chain::currentKey() const {
  if (currentPos_ < 0) return keyMin;
  if (currentPos_ >= static_cast<int32_t>(chainLength())) return keyMax;
  return cluster_->currentKey();
}

ErrorCode Chain::valueAcrossClusters(bool consume, uint32_t& value) {
  DOVREL_ASSERT(currentPos_ >= 0);
  DOVREL_ASSERT(currentPos_ < static_cast<int32_t>(chainLength()));
  DOVREL_ASSERT(cluster_ != nullptr && currentPos_ == loadedPos_);
  bool end = false;
  uint32_t slot = consume ? cluster_->nextValue(end) : cluster_->peekValue(end);
  while (end) {
    uint32_t next = static_cast<uint32_t>(currentPos_) + 1;
    if (next >= chainLength() || !keyEqual(startKey(next), cluster_->currentKey())) {
      value = NO_VALUE;
      return EM_NO_ERRORS;
    }
    Cluster* cluster = nullptr;
    if (ErrorCode error = loadCluster(next, cluster)) {
      value = NO_VALUE;
      return error;
    }
    slot = consume ? cluster->nextValue(end) : cluster->peekValue(end);
    // A continued key always has at least one value in the next cluster.
    DOVREL_ASSERT_TEXT(!end, "!dataEnd");
  }
  value = slot & VALUE_MASK;
  return EM_NO_ERRORS;
}

ErrorCode Chain::takeValues(std::vector<uint32_t>& out) {
  DOVREL_ASSERT(currentPos_ >= 0);
  DOVREL_ASSERT(currentPos_ < static_cast<int32_t>(chainLength()));
  DOVREL_ASSERT(cluster_ != nullptr && currentPos_ == loadedPos_);
  Cluster* cluster = cluster_.get();
  for (;;) {
    const uint32_t* slots = nullptr;
    const uint32_t count = cluster->takeUnreadValues(slots);
    // Most keys of a whole index hold a value or two: appended one by one, without
    // zero-filling first.
    for (uint32_t i = 0; i < count; ++i) {
      out.push_back(slots[-static_cast<std::ptrdiff_t>(i)] & VALUE_MASK);
    }
    // The key may go on in the next cluster, as in valueAcrossClusters, but only from the
    // last key of this one.
    if (!cluster->atLastKey()) return EM_NO_ERRORS;
    const uint32_t next = static_cast<uint32_t>(currentPos_) + 1;
    if (next >= chainLength() || !keyEqual(startKey(next), cluster->currentKey())) {
      return EM_NO_ERRORS;
    }
    if (ErrorCode error = loadCluster(next, cluster)) return error;
  }
}

void Chain::release() {
  cluster_.reset();
  loadedPos_ = -1;
  currentPos_ = -1;
}

}  // namespace dovrel::index
