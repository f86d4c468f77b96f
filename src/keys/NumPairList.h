// NumPairList: the (document, key ordinal) pairs of a sort index, and the ordering of a
// search result by them (the order clause of select). Query thread only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "foundation/Poolable.h"
#include "keys/DocNumList.h"

namespace dovrel::index {

class NumPairList : public Poolable {
 public:
  // A pair packed in 64 bits, the document in the high half, so that sorting the packed
  // numbers sorts by document first.
  static uint64_t pack(uint32_t document, uint32_t ordinal) {
    return (uint64_t{document} << 32) | ordinal;
  }
  static uint32_t documentOf(uint64_t pair) { return static_cast<uint32_t>(pair >> 32); }
  static uint32_t ordinalOf(uint64_t pair) { return static_cast<uint32_t>(pair); }

  // Takes packed pairs that are strictly ascending (fatal otherwise).
  explicit NumPairList(std::vector<uint64_t> pairs);

  std::span<const uint64_t> pairs() const { return data_; }
  // False when some document has two pairs: it was recorded under two keys of the sort
  // index, so no order by that index exists.
  bool unique() const;
  // The documents of `result` in the order of their sort keys: ascending by key ordinal,
  // documents without a key (ordinal 0) first, equal ordinals in ascending document order.
  // With `descending` the whole sequence is reversed, so documents without a key come last.
  // Requires unique(). Throws DiskOrMemoryError when out of memory.
  UnorderedListPtr order(const OrderedDocNumList& result, bool descending) const;

 private:
  std::vector<uint64_t> data_;
};

}  // namespace dovrel::index
