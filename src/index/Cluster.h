// The fixed-size cluster: sorted keys growing up from the header, their value lists
// growing down from the last slot, and a checksummed header. The same bytes are in memory
// and on disk. A Cluster is used by one thread at a time (the query thread); a reading
// cluster may share its bytes, read-only, with the cluster cache.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

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
//
// A cluster made by createReader() only ever receives bytes from IndexFile::readCluster,
// which may hand it validated bytes that the cluster cache shares; such a cluster is never
// written (writers use create()).
class Cluster {
 public:
  // Every KEY_MARK_STEP-th key of a validated cluster (the first included), and the first
  // key after KEY_MARK_SLOTS value slots without a mark, each with the slot of its first
  // value, so that find() can start near its key instead of at the first.
  struct KeyMark {
    uint32_t keyOffset;     // from the start of the key area
    uint32_t slotDistance;  // of the key's first value slot below the last slot
  };
  using KeyMarks = std::vector<KeyMark>;
  static constexpr uint32_t KEY_MARK_STEP = 32;
  static constexpr uint32_t KEY_MARK_SLOTS = 256;

  // Sets `out` to a cluster of `clusterLength` bytes: a power of two, larger than the
  // header and a multiple of INDEX_BUFFER_SIZE (else fatal). EM_NO_MEMORY, `out`
  // unchanged, when the buffer cannot be allocated. The buffer is zero-filled and empty.
  static ErrorCode create(uint32_t clusterLength, std::unique_ptr<Cluster>& out);
  // A reading cluster of `clusterLength` bytes (same checks), without bytes until the first
  // read. EM_NO_MEMORY, `out` unchanged.
  static ErrorCode createReader(uint32_t clusterLength, std::unique_ptr<Cluster>& out);

  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  uint32_t clusterLength() const { return clusterLength_; }
  // The raw bytes, clusterLength() of them, aligned for unbuffered I/O. A reading cluster
  // has none before its first read; its bytes may be written only while they are private.
  const uint8_t* bytes() const { return base_; }
  // The raw bytes to fill from a file, followed by validate() (or clear() after a failed
  // read): from here on nothing is known of them.
  uint8_t* bytesToOverwrite() {
    freeSpaceZero_ = false;
    return base_;
  }

  // --- Bytes of a reading cluster, for the index file ----------------------------------

  bool isReader() const { return reader_; }
  // The bytes, shared; empty before the first read.
  const std::shared_ptr<const AlignedBuffer>& storage() const { return storage_; }
  // Whether the cluster has bytes that nobody else holds (so they may be overwritten).
  bool hasPrivateBytes() const { return storage_ != nullptr && storage_.use_count() == 1; }
  // Takes `bytes` (clusterLength() of them) as the cluster's bytes. With `validated`, they
  // passed validate() before and nobody has changed them since: the cluster is positioned
  // on its first key from the header alone, and `marks` (may be empty), made by
  // makeKeyMarks() from the same bytes, speed up find(). Otherwise the cluster is empty
  // until validate() (and the bytes must be private).
  void attach(std::shared_ptr<const AlignedBuffer> bytes, bool validated,
              std::shared_ptr<const KeyMarks> marks = nullptr);
  // The key marks of the validated bytes; empty when they cannot be allocated.
  std::shared_ptr<const KeyMarks> makeKeyMarks() const;
  // Uses `marks`, made by makeKeyMarks() from the current bytes, from now on.
  void setKeyMarks(std::shared_ptr<const KeyMarks> marks) { marks_ = std::move(marks); }
  // Gives the bytes up (after a failed read): the cluster has none until the next attach.
  void detach();

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
  // failure (EM_BAD_DATA) it is cleared.
  ErrorCode validate();

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
  // Whether the current key is the last one stored here (its values may go on in the next
  // cluster of a chain).
  bool atLastKey() const { return currentKey_ + currentKey_[0] + STORED_KEY_OVERHEAD == keyEnd_; }
  // The current key's values not read yet, in this cluster: how many, and the slot of the
  // next one (the others follow it downwards, bit 31 clear). Then skipValues() reads them
  // all at once.
  uint32_t unreadValues() const {
    return endFlag_ ? 0 : static_cast<uint32_t>(currentSlot_ - markerAtOrBelow(currentSlot_));
  }
  const uint32_t* nextValueSlot() const { return currentSlot_; }
  // Reads all of them at once: their count, with `slots` on the first and the others
  // following downwards (bit 31 as stored: mask with VALUE_MASK).
  uint32_t takeUnreadValues(const uint32_t*& slots) {
    if (endFlag_) return 0;
    slots = currentSlot_;
    uint32_t* end = markerAtOrBelow(currentSlot_ - 1);
    const auto count = static_cast<uint32_t>(currentSlot_ - end);
    currentSlot_ = end;
    endFlag_ = true;
    return count;
  }
  void skipValues() {
    currentSlot_ = markerAtOrBelow(currentSlot_);
    endFlag_ = true;
  }
  // Appends `key` with `first` (as addKey) and then `count` more values whose slots run
  // downwards from `slots` in another cluster (as addValue each). Fatal when they do not fit.
  void addKeyWithValues(Key key, uint32_t first, const uint32_t* slots, uint32_t count);
  // Appends `first` and then `count` values from slots running downwards from `slots`, all
  // to the last key added (bit 31 clear in each).
  void addValues(uint32_t first, const uint32_t* slots, uint32_t count);

  // The read position as the merge records it: the current key's byte offset from the
  // start of the key area, and the next value slot's distance in slots below the last slot.
  uint32_t currentKeyOffset() const;
  uint32_t currentSlotDistance() const;
  // Returns to a recorded position. False (position unchanged) when the numbers do not
  // name a key boundary and a slot within or just past that key's values.
  bool restorePosition(uint32_t keyOffset, uint32_t slotDistance);

 private:
  Cluster(uint32_t clusterLength, std::shared_ptr<const AlignedBuffer> storage, bool reader);
  // An empty cluster over the current bytes (none for a reader without bytes).
  void resetPositions();

  uint32_t* body32() const { return reinterpret_cast<uint32_t*>(base_); }
  uint8_t* keyStart() const { return base_ + CLUSTER_HEADER_SIZE; }
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
  bool reader_;
  std::shared_ptr<const AlignedBuffer> storage_;  // the bytes; empty for a reader before a read
  uint8_t* base_ = nullptr;                       // storage_'s bytes
  std::shared_ptr<const KeyMarks> marks_;         // only for validated shared bytes
  uint8_t* keyEnd_ = nullptr;                     // first byte after the key area
  uint32_t* dataEnd_ = nullptr;                   // next free value slot
  uint8_t* currentKey_ = nullptr;                 // the current key, or keyEnd_
  uint32_t* currentMarker_ = nullptr;             // slot of the current key's first value
  uint32_t* currentSlot_ = nullptr;               // next value slot to read
  bool endFlag_ = false;                          // the current key's values are exhausted
  // The bytes between keyEnd_ and dataEnd_ (the free space) are known to be zero: true
  // after create and clear, which then zeroes only the key and value areas.
  bool freeSpaceZero_ = false;
};

}  // namespace dovrel::index
