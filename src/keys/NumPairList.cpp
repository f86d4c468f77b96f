// Ordering a result by the key ordinals of a sort index. Query thread only.
#include "keys/NumPairList.h"

#include <algorithm>
#include <new>

#include "foundation/Assert.h"

namespace dovrel::index {

NumPairList::NumPairList(std::vector<uint64_t> pairs) : data_(std::move(pairs)) {
  for (std::size_t i = 1; i < data_.size(); ++i) {
    DOVREL_ASSERT(data_[i - 1] < data_[i]);
  }
}

bool NumPairList::unique() const {
  return std::adjacent_find(data_.begin(), data_.end(), [](uint64_t a, uint64_t b) {
           return documentOf(a) == documentOf(b);
         }) == data_.end();
}

UnorderedListPtr NumPairList::order(const OrderedDocNumList& result, bool descending) const {
  std::vector<uint64_t> keyed;
  try {
    keyed.reserve(result.length());
  } catch (const std::bad_alloc&) {
    throwOutOfMemory();
  }
  // Both sequences ascend by document, so one merge walk finds every document's pair.
  auto pair = data_.begin();
  for (uint32_t document : result) {
    while (pair != data_.end() && documentOf(*pair) < document) ++pair;
    uint32_t ordinal = pair != data_.end() && documentOf(*pair) == document ? ordinalOf(*pair) : 0;
    keyed.push_back((uint64_t{ordinal} << 32) | document);
  }
  std::sort(keyed.begin(), keyed.end());
  std::unique_ptr<uint32_t[]> list = allocateDocNumbers(keyed.size());
  for (std::size_t i = 0; i < keyed.size(); ++i) {
    std::size_t at = descending ? keyed.size() - 1 - i : i;
    list[at] = static_cast<uint32_t>(keyed[i]);
  }
  return UnorderedDocNumList::adopt(std::move(list), result.length());
}

}  // namespace dovrel::index
