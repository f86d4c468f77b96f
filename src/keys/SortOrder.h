// SortOrder: what ordering by one sort index needs, read from the index once and kept
// until the index changes: each document's key ordinal, the documents in key order, the
// documents that have a key, the first and last key, and whether some document has two
// keys (then no order exists). Built and used on the query thread; immutable once built.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "index/Key.h"
#include "keys/DocNumList.h"
#include "keys/IndexKeyConverter.h"

namespace dovrel::index {

class SortOrder {
 public:
  // Building: the keys in ascending order, each with its documents ascending; then
  // finish(). Throws DiskOrMemoryError when out of memory.
  void addKey(Key key, std::span<const uint32_t> documents);
  void finish();

  // False when some document was recorded under two keys.
  bool unique() const { return unique_; }
  // Every document with a key, ascending.
  const OrderedListPtr& keyed() const { return keyed_; }
  // Whether the index holds no key, or its first and last key.
  bool empty() const { return keyCount_ == 0; }
  Key firstKey() const { return first_.data(); }
  Key lastKey() const { return last_.data(); }

  // The documents at positions offset .. offset + count - 1 of `result` ordered by their
  // keys: ascending key ordinal, documents without a key first, equal keys in ascending
  // document order; with `descending` the whole sequence reversed. Requires unique().
  // Walks the documents in key order when the result is dense enough for that to be
  // short, else selects the first offset + count of the result's (ordinal, document)
  // pairs. Throws DiskOrMemoryError when out of memory.
  UnorderedListPtr slice(const OrderedListPtr& result, bool descending, uint32_t offset,
                         uint32_t count) const;

 private:
  uint32_t ordinalOf(uint32_t document) const {
    return document < ordinals_.size() ? ordinals_[document] : 0;
  }
  // Null when the walk grew too long for the result (the caller then selects).
  UnorderedListPtr walk(const OrderedListPtr& result, bool descending, uint64_t offset,
                        uint64_t end) const;
  UnorderedListPtr select(const OrderedDocNumList& result, bool descending, uint64_t offset,
                          uint64_t end) const;

  std::vector<uint32_t> ordinals_;  // by document; 0: no key
  std::vector<uint32_t> byKey_;     // documents by (ordinal, document)
  OrderedListPtr keyed_;
  uint32_t keyCount_ = 0;
  bool unique_ = true;
  KeyBuffer first_{};
  KeyBuffer last_{};
};

}  // namespace dovrel::index
