// The 64-slot binary-counter union. Query thread only.
#include "index/ListJoiner.h"

#include "foundation/Assert.h"

namespace dovrel::index {

void ListJoiner::add(const OrderedListPtr& list) {
  if (list->empty()) return;
  OrderedListPtr carried = list;
  uint32_t i = 0;
  while (lists_[i] != nullptr) {
    carried = unionOf(lists_[i], carried);
    lists_[i].reset();
    ++i;
    DOVREL_ASSERT(i < 64);
  }
  DOVREL_ASSERT_TEXT(lists_[i] == nullptr, "lists[i] == NULL");
  lists_[i] = std::move(carried);
}

OrderedListPtr ListJoiner::join() const {
  OrderedListPtr result;
  // Smallest slots first, so each number is copied as few times as possible.
  for (const OrderedListPtr& slot : lists_) {
    if (slot == nullptr) continue;
    result = result == nullptr ? slot : unionOf(slot, result);
  }
  return result != nullptr ? result : OrderedDocNumList::emptyList();
}

}  // namespace dovrel::index
