// Cluster layout, validation and navigation. Called by the index engine on the query
// thread only.
//
// Value slots are walked with explicit bounds (the data end, the last slot) rather than by
// planting a stop mark in the free space, so reading never changes the buffer.
#include "index/Cluster.h"

#include <bit>
#include <cstring>

#include "foundation/Assert.h"
#include "foundation/Crc32.h"

namespace dovrel::index {

namespace {

void checkClusterLength(uint32_t clusterLength) {
  DOVREL_ASSERT(CLUSTER_HEADER_SIZE < clusterLength);
  DOVREL_ASSERT_TEXT(std::has_single_bit(clusterLength), "t == 1");
  DOVREL_ASSERT(clusterLength % INDEX_BUFFER_SIZE == 0);
}

}  // namespace

ErrorCode Cluster::create(uint32_t clusterLength, std::unique_ptr<Cluster>& out) {
  checkClusterLength(clusterLength);
  AlignedBuffer buffer;
  if (ErrorCode error = AlignedBuffer::allocate(clusterLength, buffer)) return error;
  std::shared_ptr<const AlignedBuffer> storage;
  if (ErrorCode error = guardAllocation(
          [&] { storage = std::make_shared<const AlignedBuffer>(std::move(buffer)); })) {
    return error;
  }
  std::unique_ptr<Cluster> cluster(new (std::nothrow)
                                       Cluster(clusterLength, std::move(storage), false));
  if (cluster == nullptr) return EM_NO_MEMORY;
  out = std::move(cluster);
  return EM_NO_ERRORS;
}

ErrorCode Cluster::createReader(uint32_t clusterLength, std::unique_ptr<Cluster>& out) {
  checkClusterLength(clusterLength);
  std::unique_ptr<Cluster> cluster(new (std::nothrow) Cluster(clusterLength, nullptr, true));
  if (cluster == nullptr) return EM_NO_MEMORY;
  out = std::move(cluster);
  return EM_NO_ERRORS;
}

Cluster::Cluster(uint32_t clusterLength, std::shared_ptr<const AlignedBuffer> storage, bool reader)
    : clusterLength_(clusterLength), reader_(reader), storage_(std::move(storage)) {
  if (storage_ != nullptr) base_ = storage_->data();
  resetPositions();
  freeSpaceZero_ = storage_ != nullptr;  // create() hands over zero-filled bytes
}

void Cluster::resetPositions() {
  if (base_ == nullptr) {
    keyEnd_ = nullptr;
    dataEnd_ = nullptr;
    currentKey_ = nullptr;
    currentMarker_ = nullptr;
    currentSlot_ = nullptr;
    endFlag_ = true;
    return;
  }
  keyEnd_ = keyStart();
  dataEnd_ = lastSlot();
  setPosition(keyStart(), lastSlot());
}

void Cluster::attach(std::shared_ptr<const AlignedBuffer> bytes, bool validated,
                     std::shared_ptr<const KeyMarks> marks) {
  DOVREL_ASSERT(reader_);
  DOVREL_ASSERT(bytes != nullptr && bytes->size() == clusterLength_);
  storage_ = std::move(bytes);
  base_ = storage_->data();
  freeSpaceZero_ = false;
  marks_ = validated ? std::move(marks) : nullptr;
  if (!validated) {
    resetPositions();
    return;
  }
  // validate() accepted these very bytes, so the header bounds hold.
  const uint32_t* header = body32();
  keyEnd_ = base_ + header[CLUSTER_KEY_END_OFFSET / 4];
  dataEnd_ = body32() + header[CLUSTER_DATA_END_OFFSET / 4];
  DOVREL_ASSERT(keyStart() < keyEnd_ && dataEnd_ < lastSlot());
  first();
}

std::shared_ptr<const Cluster::KeyMarks> Cluster::makeKeyMarks() const {
  std::shared_ptr<KeyMarks> marks;
  const bool made =
      guardAllocation([&] {
        marks = std::make_shared<KeyMarks>();
        // Keys are at least STORED_KEY_OVERHEAD bytes each; the reserve is never outgrown.
        marks->reserve((keyEnd_ - keyStart()) / (STORED_KEY_OVERHEAD * KEY_MARK_STEP) +
                       (lastSlot() - dataEnd_) / KEY_MARK_SLOTS + 2);
      }) == EM_NO_ERRORS;
  if (!made) return nullptr;
  marks->push_back(KeyMark{0, 0});
  uint8_t* key = keyStart();
  uint32_t count = 0;
  uint32_t* marked = lastSlot();
  for (uint32_t* slot = lastSlot() - 1; slot != dataEnd_; --slot) {
    if (!(*slot & KEY_MARKER)) continue;
    key += key[0] + STORED_KEY_OVERHEAD;
    // Keys with many values between them are marked more often, so that find never walks
    // more than about KEY_MARK_SLOTS value slots either.
    if (++count % KEY_MARK_STEP == 0 || marked - slot >= KEY_MARK_SLOTS) {
      marks->push_back(KeyMark{static_cast<uint32_t>(key - keyStart()),
                               static_cast<uint32_t>(lastSlot() - slot)});
      marked = slot;
    }
  }
  return marks;
}

void Cluster::detach() {
  DOVREL_ASSERT(reader_);
  marks_.reset();
  storage_.reset();
  base_ = nullptr;
  resetPositions();
}

void Cluster::clear() {
  DOVREL_ASSERT(base_ != nullptr);
  DOVREL_ASSERT(!reader_ || hasPrivateBytes());  // never bytes the cache shares
  marks_.reset();
  if (freeSpaceZero_) {
    // Only the header, the keys and the values were ever written since the last clear.
    std::memset(base_, 0, static_cast<std::size_t>(keyEnd_ - base_));
    auto* values = reinterpret_cast<uint8_t*>(dataEnd_);
    std::memset(values, 0, static_cast<std::size_t>(base_ + clusterLength_ - values));
  } else {
    std::memset(base_, 0, clusterLength_);
  }
  freeSpaceZero_ = true;
  keyEnd_ = keyStart();
  dataEnd_ = lastSlot();
  setPosition(keyStart(), lastSlot());
}

void Cluster::addKey(Key key, uint32_t value) {
  DOVREL_ASSERT(!reader_);
  uint32_t length = keyLength(key);
  // After the step the new data end slot must still lie wholly above the key end.
  DOVREL_ASSERT_TEXT(freeBytes() >= length + STORED_KEY_OVERHEAD + VALUE_SLOT_SIZE,
                     "keyEnd <= (byte*)dataEnd");
  keyEnd_[0] = static_cast<uint8_t>(length);
  std::memcpy(keyEnd_ + 1, key + 1, length);
  keyEnd_[length + 1] = static_cast<uint8_t>(length);
  keyEnd_ += length + STORED_KEY_OVERHEAD;
  *dataEnd_-- = value;
}

void Cluster::addKeyWithValues(Key key, uint32_t first, const uint32_t* slots, uint32_t count) {
  addKey(key, first);
  DOVREL_ASSERT_TEXT(freeBytes() >= count * VALUE_SLOT_SIZE, "keyEnd <= (byte*)dataEnd");
  // Both run downwards: the lowest of the `count` slots lands lowest.
  dataEnd_ -= count;
  if (count > 0) std::memcpy(dataEnd_ + 1, slots - (count - 1), count * VALUE_SLOT_SIZE);
}

void Cluster::addValues(uint32_t first, const uint32_t* slots, uint32_t count) {
  addValue(first);
  DOVREL_ASSERT_TEXT(freeBytes() >= count * VALUE_SLOT_SIZE, "keyEnd <= (byte*)dataEnd");
  dataEnd_ -= count;
  if (count > 0) std::memcpy(dataEnd_ + 1, slots - (count - 1), count * VALUE_SLOT_SIZE);
}

void Cluster::addValue(uint32_t value) {
  DOVREL_ASSERT(!reader_);
  DOVREL_ASSERT(!isEmpty());
  DOVREL_ASSERT_TEXT(freeBytes() >= VALUE_SLOT_SIZE, "keyEnd <= (byte*)dataEnd");
  *dataEnd_-- = value;
}

void Cluster::seal() {
  DOVREL_ASSERT(!reader_);
  uint32_t* header = body32();
  header[CLUSTER_KEY_END_OFFSET / 4] = static_cast<uint32_t>(keyEnd_ - base_);
  header[CLUSTER_DATA_END_OFFSET / 4] = static_cast<uint32_t>(dataEnd_ - body32());
  header[CLUSTER_RESERVED_OFFSET / 4] = 0;
  header[CLUSTER_CHECKSUM_OFFSET / 4] = 0;
  header[CLUSTER_CHECKSUM_OFFSET / 4] = crc32(base_, clusterLength_);
}

ErrorCode Cluster::validate() {
  DOVREL_ASSERT(base_ != nullptr);
  DOVREL_ASSERT(!reader_ || hasPrivateBytes());
  marks_.reset();
  freeSpaceZero_ = false;  // bytes from outside: whatever lies between keys and values
  uint32_t* header = body32();
  uint8_t* base = base_;
  uint32_t saved = header[CLUSTER_CHECKSUM_OFFSET / 4];
  header[CLUSTER_CHECKSUM_OFFSET / 4] = 0;
  uint32_t computed = crc32(base, clusterLength_);
  header[CLUSTER_CHECKSUM_OFFSET / 4] = saved;

  uint64_t keyEndOffset = header[CLUSTER_KEY_END_OFFSET / 4];
  uint64_t dataEndIndex = header[CLUSTER_DATA_END_OFFSET / 4];
  uint64_t slots = clusterLength_ / VALUE_SLOT_SIZE;
  bool ok = computed == saved && CLUSTER_HEADER_SIZE < keyEndOffset &&
            keyEndOffset < clusterLength_ && 4 < dataEndIndex &&
            // At least the first key's value in the last slot, and the key area no higher
            // than the data end slot: the writers' own bound, so a cluster filled to the
            // last byte reads back.
            dataEndIndex < slots - 1 && keyEndOffset <= dataEndIndex * VALUE_SLOT_SIZE;
  if (ok) {
    uint8_t* keyEnd = base + keyEndOffset;
    uint32_t* dataEnd = header + dataEndIndex;
    uint8_t* key = keyStart();
    // Every key visited must carry the same length after its bytes, or backward steps
    // would leave the key area.
    auto keyIsWhole = [&](const uint8_t* k) {
      return k + k[0] + STORED_KEY_OVERHEAD <= keyEnd && k[k[0] + 1] == k[0];
    };
    ok = keyIsWhole(key);
    for (uint32_t* slot = lastSlot() - 1; ok && slot != dataEnd; --slot) {
      if (*slot & KEY_MARKER) {
        key += key[0] + STORED_KEY_OVERHEAD;
        ok = key < keyEnd && keyIsWhole(key);
      } else {
        ok = (*slot | KEY_MARKER) > (slot[1] | KEY_MARKER);
      }
    }
    ok = ok && key + key[0] + STORED_KEY_OVERHEAD == keyEnd;
    if (ok) {
      keyEnd_ = keyEnd;
      dataEnd_ = dataEnd;
      first();
      return EM_NO_ERRORS;
    }
  }
  clear();
  return EM_BAD_DATA;
}

Key Cluster::firstKey() const {
  DOVREL_ASSERT(!isEmpty());
  return keyStart();
}

Key Cluster::lastKey() const {
  DOVREL_ASSERT(!isEmpty());
  return keyEnd_ - (keyEnd_[-1] + STORED_KEY_OVERHEAD);
}

bool Cluster::firstKeyStartsHere() const {
  DOVREL_ASSERT(!isEmpty());
  return (*lastSlot() & KEY_MARKER) != 0;
}

uint32_t* Cluster::markerAtOrBelow(uint32_t* from) const {
  while (from != dataEnd_ && !(*from & KEY_MARKER)) --from;
  return from;
}

uint32_t* Cluster::markerAtOrAbove(uint32_t* from) const {
  while (from != lastSlot() && !(*from & KEY_MARKER)) ++from;
  return from;
}

void Cluster::setPosition(uint8_t* key, uint32_t* marker) {
  currentKey_ = key;
  currentMarker_ = marker;
  currentSlot_ = marker;
  endFlag_ = key == keyEnd_;
}

void Cluster::first() { setPosition(keyStart(), lastSlot()); }

void Cluster::last() {
  if (isEmpty()) {
    setPosition(keyEnd_, dataEnd_);
    return;
  }
  setPosition(keyEnd_ - (keyEnd_[-1] + STORED_KEY_OVERHEAD), markerAtOrAbove(dataEnd_ + 1));
}

bool Cluster::nextKey() {
  DOVREL_ASSERT_TEXT(currentKey_ != keyEnd_, "currentKey != keyEnd");
  // Unless the values are exhausted (the slot is then already on the next marker), the
  // next marker lies strictly below the unread value in the current slot.
  uint32_t* marker = endFlag_ ? currentSlot_ : markerAtOrBelow(currentSlot_ - 1);
  setPosition(currentKey_ + currentKey_[0] + STORED_KEY_OVERHEAD, marker);
  return currentKey_ != keyEnd_;
}

bool Cluster::prevKey() {
  if (currentKey_ == keyStart()) return false;
  if (currentKey_ == keyEnd_) {
    last();
    return true;
  }
  uint32_t* marker = markerAtOrAbove(currentMarker_ + 1);
  setPosition(currentKey_ - (currentKey_[-1] + STORED_KEY_OVERHEAD), marker);
  return true;
}

uint32_t Cluster::nextValue(bool& end) {
  DOVREL_ASSERT_TEXT(currentKey_ != keyEnd_, "currentKey != keyEnd");
  end = endFlag_;
  if (end) return DIRECTORY_END;
  uint32_t value = *currentSlot_--;
  endFlag_ = currentSlot_ == dataEnd_ || (*currentSlot_ & KEY_MARKER) != 0;
  return value;
}

uint32_t Cluster::peekValue(bool& end) const {
  DOVREL_ASSERT_TEXT(currentKey_ != keyEnd_, "currentKey != keyEnd");
  end = endFlag_;
  return end ? DIRECTORY_END : *currentSlot_;
}

uint32_t Cluster::takeValue() {
  bool end;
  uint32_t value = nextValue(end);
  DOVREL_ASSERT(!end);
  return value;
}

SearchCode Cluster::find(Key key) {
  if (isEmpty()) {
    setPosition(keyEnd_, dataEnd_);
    return SEARCH_SMALLER;
  }
  uint8_t* current = keyStart();
  SearchCode code = keySearchCompare(current, key);
  if (code != SEARCH_SMALLER) {
    first();
    return code;
  }
  // With marks, start from the last marked key that is still smaller: the keys ascend, so
  // the keys before it are smaller too.
  uint32_t* from = lastSlot();
  if (marks_ != nullptr && marks_->size() > 1) {
    std::size_t lo = 0;               // a mark whose key is smaller
    std::size_t hi = marks_->size();  // marks from here on are not smaller
    while (hi - lo > 1) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (keySearchCompare(keyStart() + (*marks_)[mid].keyOffset, key) == SEARCH_SMALLER) {
        lo = mid;
      } else {
        hi = mid;
      }
    }
    current = keyStart() + (*marks_)[lo].keyOffset;
    from = lastSlot() - (*marks_)[lo].slotDistance;
  }
  // Most keys passed over differ from the search key in their first byte; deciding those
  // here keeps the linear scan cheap.
  const uint32_t searchFirst = keyLength(key) > 0 ? key[1] : 0;
  for (uint32_t* slot = from - 1; slot != dataEnd_; --slot) {
    if (!(*slot & KEY_MARKER)) continue;
    current += current[0] + STORED_KEY_OVERHEAD;
    if (current[0] > 0 && current[1] < searchFirst) continue;
    code = keySearchCompare(current, key);
    if (code != SEARCH_SMALLER) {
      setPosition(current, slot);
      return code;
    }
  }
  setPosition(keyEnd_, dataEnd_);
  return SEARCH_SMALLER;
}

Key Cluster::currentKey() const {
  DOVREL_ASSERT_TEXT(currentKey_ != keyEnd_, "currentKey != keyEnd");
  return currentKey_;
}

uint32_t Cluster::currentKeyOffset() const {
  return static_cast<uint32_t>(currentKey_ - keyStart());
}

uint32_t Cluster::currentSlotDistance() const {
  return static_cast<uint32_t>(lastSlot() - currentSlot_);
}

bool Cluster::restorePosition(uint32_t keyOffset, uint32_t slotDistance) {
  if (isEmpty() || keyOffset >= static_cast<uint32_t>(keyEnd_ - keyStart())) return false;
  if (slotDistance > static_cast<uint32_t>(lastSlot() - dataEnd_)) return false;
  uint8_t* key = keyStart();
  uint32_t* marker = lastSlot();
  while (static_cast<uint32_t>(key - keyStart()) < keyOffset) {
    key += key[0] + STORED_KEY_OVERHEAD;
    marker = markerAtOrBelow(marker - 1);
  }
  if (static_cast<uint32_t>(key - keyStart()) != keyOffset) return false;
  uint32_t* nextMarker = markerAtOrBelow(marker - 1);
  uint32_t* slot = lastSlot() - slotDistance;
  if (slot > marker || slot < nextMarker) return false;
  currentKey_ = key;
  currentMarker_ = marker;
  currentSlot_ = slot;
  endFlag_ = slot == nextMarker;
  return true;
}

}  // namespace dovrel::index
