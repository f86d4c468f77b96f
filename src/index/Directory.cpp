// Reading the directory of an index file, entry by entry, following its continuation
// clusters. Called when a merge index is opened, on the query thread.
//
// A continuation (DIRECTORY_CONTINUED, then the next cluster's number) can only follow the
// two entries of a chain cluster, because that is the only place the writer puts one. The
// reader looks for it there and nowhere else: a merge's recorded pending value may itself
// read 0xFFFFFFFE or 0xFFFFFFFF once flagged, and is taken by position.
#include "index/Directory.h"

#include <algorithm>

#include "index/AlignedBuffer.h"
#include "index/Cluster.h"
#include "index/IndexFile.h"

namespace dovrel::index {

namespace {

// A directory entry: a key with exactly one value.
struct Entry {
  Key key = nullptr;
  uint32_t value = 0;
  bool emptyKey() const { return keyLength(key) == 0; }
};

// Walks the directory clusters; the first failure is kept in error() and every walking
// call then returns false.
class DirectoryCursor {
 public:
  DirectoryCursor(IndexFile& file, Cluster& buffer, Directory& out)
      : file_(file), buffer_(buffer), out_(out) {}

  ErrorCode error() const { return error_; }

  bool load(uint32_t number) {
    if (!file_.isOpen()) {
      error_ = EM_NOT_OPEN;
      return false;
    }
    if (number >= file_.clusterNum() ||
        std::find(out_.directoryClusters.begin(), out_.directoryClusters.end(), number) !=
            out_.directoryClusters.end()) {
      return fail();
    }
    out_.directoryClusters.push_back(number);
    error_ = file_.readCluster(buffer_, number);
    if (error_ != EM_NO_ERRORS) return false;
    buffer_.first();
    return true;
  }

  // The entry at the cursor, without moving. False (with EM_BAD_DATA) when the cluster
  // has no more entries or the entry is malformed.
  bool peek(Entry* entry) {
    if (buffer_.atKeyEnd()) return fail();
    bool end = false;
    uint32_t value = buffer_.peekValue(end);
    if (end || !(value & KEY_MARKER)) return fail();
    entry->key = buffer_.currentKey();
    entry->value = value;
    return true;
  }

  // The entry at the cursor; moves past it. Key pointers stay valid until the next load.
  bool next(Entry* entry) {
    if (!peek(entry)) return false;
    buffer_.takeValue();
    if (!buffer_.valuesExhausted()) return fail();  // more than one value
    buffer_.nextKey();
    return true;
  }

  // An entry with the empty key; its value is returned without bit 31.
  bool nextNumber(uint32_t* number) {
    Entry entry;
    if (!next(&entry)) return false;
    if (!entry.emptyKey()) return fail();
    *number = entry.value & VALUE_MASK;
    return true;
  }

  // Reads chain clusters up to and including the list's end entry.
  bool readChain(DirectoryChain* chain) {
    for (;;) {
      Entry first;
      if (!next(&first)) return false;
      if (first.value == DIRECTORY_END) return first.emptyKey() || fail();
      if (first.value == DIRECTORY_CONTINUED) return fail();
      Entry second;
      if (!next(&second) || second.value != first.value) return fail();
      if (keyCompare(first.key, second.key) > 0) return fail();
      if (!chain->clusters.empty() && keyCompare(chain->clusters.back().fin(), first.key) > 0) {
        return fail();
      }
      DirectoryClusterEntry& cluster = chain->clusters.emplace_back();
      cluster.number = first.value & VALUE_MASK;
      cluster.startKey.assign(reinterpret_cast<const char*>(first.key), keySize(first.key));
      cluster.finKey.assign(reinterpret_cast<const char*>(second.key), keySize(second.key));
      if (!followContinuation()) return false;
    }
  }

  // Chains up to the end of the list of chains.
  bool readChains() {
    for (;;) {
      Entry entry;
      if (!peek(&entry)) return false;
      if (entry.value == DIRECTORY_END) {
        next(&entry);
        return entry.emptyKey() || fail();
      }
      if (!readChain(&out_.chains.emplace_back())) return false;
    }
  }

  // Merge records up to the end of the list of merges.
  bool readMerges() {
    for (;;) {
      Entry entry;
      if (!peek(&entry)) return false;
      if (entry.value == DIRECTORY_END) {
        next(&entry);
        return entry.emptyKey() || fail();
      }
      DirectoryMerge& merge = out_.merges.emplace_back();
      for (uint32_t& number : merge.numbers) {
        if (!nextNumber(&number)) return false;
      }
      if (!readChain(&merge.output)) return false;
    }
  }

 private:
  bool fail() {
    error_ = EM_BAD_DATA;
    return false;
  }

  bool followContinuation() {
    Entry entry;
    if (buffer_.atKeyEnd()) return true;  // a later read reports the missing end
    if (!peek(&entry) || entry.value != DIRECTORY_CONTINUED) return error_ == EM_NO_ERRORS;
    next(&entry);
    if (!entry.emptyKey()) return fail();
    uint32_t number = 0;
    return nextNumber(&number) && load(number);
  }

  IndexFile& file_;
  Cluster& buffer_;
  Directory& out_;
  ErrorCode error_ = EM_NO_ERRORS;
};

}  // namespace

ErrorCode readDirectory(IndexFile& file, Cluster& buffer, uint32_t firstCluster, Directory* out) {
  *out = Directory{};
  ErrorCode readError = EM_NO_ERRORS;
  ErrorCode allocationError = guardAllocation([&] {
    DirectoryCursor cursor(file, buffer, *out);
    (void)(cursor.load(firstCluster) && cursor.readChains() && cursor.readMerges());
    readError = cursor.error();
  });
  if (allocationError != EM_NO_ERRORS) readError = allocationError;
  if (readError != EM_NO_ERRORS) *out = Directory{};
  return readError;
}

}  // namespace dovrel::index
