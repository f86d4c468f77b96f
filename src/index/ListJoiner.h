// ListJoiner: unites many ordered lists as a binary counter of 64 slots, so adding n lists
// copies each number O(log n) times instead of re-copying one ever-growing list. Also the
// collection of one key's documents from the merge index's batches. Query thread only.
#pragma once

#include <array>
#include <cstdint>
#include <new>
#include <vector>

#include "index/DocNumList.h"

namespace dovrel::index {

class ListJoiner {
 public:
  static constexpr uint32_t SLOT_COUNT = 64;

  // Adds a list: while the slot reached holds a list, the two are united and carried to the
  // next slot; the carried list lands in the first empty slot. Slot i thus holds the union
  // of about 2^i added lists. An empty list changes nothing and is not kept.
  void add(const OrderedListPtr& list);
  // The union of every list added so far (empty when none was). The joiner is unchanged.
  OrderedListPtr join() const;

 private:
  std::array<OrderedListPtr, SLOT_COUNT> lists_;
};

// Documents handed out by the merge index per call of its getDocs.
inline constexpr uint32_t GET_DOCS_BATCH = 256;

// Collects the documents of the merge index's current key: calls
//   bool fetch(uint32_t* batch, uint32_t& count)
// which fills up to GET_DOCS_BATCH ascending numbers, continuing where the previous call
// stopped, and returns false on an error. The calls go on while a batch comes back full.
// Returns false (adding nothing) as soon as fetch fails; otherwise adds the key's
// documents to `joiner` as one list. Throws DiskOrMemoryError when out of memory.
template <class Fetch>
bool addKeyDocuments(ListJoiner& joiner, Fetch&& fetch) {
  uint32_t batch[GET_DOCS_BATCH];
  uint32_t count = 0;
  if (!fetch(batch, count)) return false;
  if (count < GET_DOCS_BATCH) {
    joiner.add(OrderedDocNumList::create({batch, count}));
    return true;
  }
  // A key with many documents: the batches continue one another, so they are gathered
  // into one list rather than added one by one.
  std::vector<uint32_t> all;
  try {
    do {
      all.insert(all.end(), batch, batch + count);
      count = 0;
      if (!fetch(batch, count)) return false;
    } while (count == GET_DOCS_BATCH);
    all.insert(all.end(), batch, batch + count);
  } catch (const std::bad_alloc&) {
    throwOutOfMemory();
  }
  joiner.add(OrderedDocNumList::create(all));
  return true;
}

}  // namespace dovrel::index
