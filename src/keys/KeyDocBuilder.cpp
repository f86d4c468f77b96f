// Collecting sort-key pairs. Query thread only.
#include "keys/KeyDocBuilder.h"

#include <algorithm>
#include <new>

#include "foundation/Assert.h"

namespace dovrel::index {

void KeyDocBuilder::add(uint32_t ordinal, uint32_t document) {
  addDocuments(ordinal, {&document, 1});
}

void KeyDocBuilder::addDocuments(uint32_t ordinal, std::span<const uint32_t> documents) {
  DOVREL_ASSERT_TEXT(ordinal > 0, "key > 0");
  try {
    for (uint32_t document : documents) pairs_.push_back(NumPairList::pack(document, ordinal));
  } catch (const std::bad_alloc&) {
    throwOutOfMemory();
  }
}

NumPairList KeyDocBuilder::build() {
  std::sort(pairs_.begin(), pairs_.end());
  NumPairList list(std::move(pairs_));
  pairs_.clear();
  return list;
}

}  // namespace dovrel::index
