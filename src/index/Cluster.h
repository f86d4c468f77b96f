// The fixed-size cluster: sorted keys growing up from the header, their value lists
// growing down from the last slot, and a checksummed header. The same bytes are in memory
// and on disk. A Cluster is used by one thread at a time (the query thread).
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/ErrorCode.h"
#include "index/AlignedBuffer.h"
#include "index/IndexFormat.h"
#include "index/Key.h"

namespace dovrel::index {

// One cluster buffer with a write position (key end, data end) and a read position (the
// current key, its marker slot and the next value slot). Writers append keys in strictly
// increasing order with addKey/addValue and seal() before writing; readers validate() the
// bytes they read and then navigate. Positions are invalidated by clear() and by reading
// other bytes into the buffer.
class Cluster {
 public:
  // A cluster of `clusterLength` bytes: a power of two, larger than the header and a
  // multiple of INDEX_BUFFER_SIZE (else fatal). Returns null with EM_NO_MEMORY when the
  // buffer cannot be allocated. The buffer is zero-filled and empty.
  static std::unique_ptr<Cluster> create(uint32_t clusterLength, ErrorCode& error);

  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  uint32_t clusterLength() const { return clusterLength_; }
  // The raw bytes, clusterLength() of them, aligned for unbuffered I/O.
  uint8_t* bytes() { return buffer_.data(); }
  const uint8_t* bytes() const { return buffer_.data(); }

  // --- Writing -------------------------------------------------------------------------

  // Zero-fills the buffer and empties it.
  void clear();
  bool isEmpty() const { return keyEnd_ == keyStart(); }
  // Bytes between the key end and the start of the data end slot. The data end slot must
  // stay clear of the keys, so a key of n bytes with its value fits while
  // freeBytes() >= n + 6, and one more value while freeBytes() >= 4.
  uint32_t freeBytes() const { return static_cast<uint32_t>(dataEndBytes() - keyEnd_); }
  // Appends `key` (greater than every key already added) with its first value, stored as
  // given: bit 31 set for a key that starts here, clear for a key continued from the
  // previous cluster of a chain (allowed only as the first key). Fatal when it does not
  // fit.
  void addKey(Key key, uint32_t value);
  // Appends one more value (bit 31 clear) to the last key added. Fatal when it does not fit.
  void addValue(uint32_t value);
  // Fills the header (key end, data end, reserved 0, checksum) so the bytes can be written.
  void seal();

  // --- Reading -------------------------------------------------------------------------

  // Checks bytes just read into bytes(): checksum, header bounds, value order and that the
  // keys and markers agree. On success the cluster is positioned on its first key; on
  // failure it is cleared and `error` is EM_BAD_DATA.
  void validate(ErrorCode& error);

  // The first and the last stored key; the cluster must not be empty.
  Key firstKey() const;
  Key lastKey() const;
  // Whether the first key starts in this cluster (bit 31 of the last slot). Clear when the
  // cluster begins with the continuation of the previous cluster's last key.
  bool firstKeyStartsHere() const;

  // Positions on the first key (with its first value next). On an empty cluster the
  // current key is the key end.
  void first();
  // Positions on the last key (with its first value next). Same for an empty cluster.
  void last();
  // Steps to the next key; false when the key end is reached (the current key is then the
  // key end). Requires a current key.
  bool nextKey();
  // Steps to the previous key; false at the first key (position unchanged). From the key
  // end it goes to the last key.
  bool prevKey();
  // The next value of the current key, bit 31 as stored (the first value of a key that
  // starts here carries it: mask with VALUE_MASK). When the key's values are exhausted
  // sets `end` and returns DIRECTORY_END. Requires a current key.
  uint32_t nextValue(bool& end);
  // The same without moving.
  uint32_t peekValue(bool& end) const;
  // nextValue for a caller that knows a value remains (fatal otherwise).
  uint32_t takeValue();
  // Positions on the first stored key that is not smaller than `key`, with its first value
  // next, and returns that key's search code (0, 1 or 2). Returns SEARCH_SMALLER when
  // every stored key is smaller; the current key is then the key end.
  SearchCode find(Key key);

  // The current key; requires one (not the key end).
  Key currentKey() const;
  bool atKeyEnd() const { return currentKey_ == keyEnd_; }
  bool atFirstKey() const { return currentKey_ == keyStart(); }
  // Whether the current key has no more values in this cluster.
  bool valuesExhausted() const { return endFlag_; }

  // The read position as the merge records it: the current key's byte offset from the
  // start of the key area, and the next value slot's distance in slots below the last slot.
  uint32_t currentKeyOffset() const;
  uint32_t currentSlotDistance() const;
  // Returns to a recorded position. False (position unchanged) when the numbers do not
  // name a key boundary and a slot within or just past that key's values.
  bool restorePosition(uint32_t keyOffset, uint32_t slotDistance);

 private:
  Cluster(uint32_t clusterLength, AlignedBuffer buffer);

  uint32_t* body32() const { return reinterpret_cast<uint32_t*>(buffer_.data()); }
  uint8_t* keyStart() const { return buffer_.data() + CLUSTER_HEADER_SIZE; }
  uint32_t* lastSlot() const { return body32() + clusterLength_ / VALUE_SLOT_SIZE - 1; }
  uint8_t* dataEndBytes() const { return reinterpret_cast<uint8_t*>(dataEnd_); }
  // The marker slot of the key after the one whose values are at or above `from`: the
  // first slot at or below `from` with bit 31 set, or the data end.
  uint32_t* markerAtOrBelow(uint32_t* from) const;
  // The marker slot of the key before: the first slot at or above `from` with bit 31 set,
  // or the last slot.
  uint32_t* markerAtOrAbove(uint32_t* from) const;
  void setPosition(uint8_t* key, uint32_t* marker);

  uint32_t clusterLength_;
  AlignedBuffer buffer_;
  uint8_t* keyEnd_;          // first byte after the key area
  uint32_t* dataEnd_;        // next free value slot
  uint8_t* currentKey_;      // the current key, or keyEnd_
  uint32_t* currentMarker_;  // slot of the current key's first value
  uint32_t* currentSlot_;    // next value slot to read
  bool endFlag_ = false;     // the current key's values are exhausted
};

}  // namespace dovrel::index
