// Document-number lists and the operations that build new lists from them. Query thread
// only while a list is built; finished lists are immutable.
#include "keys/DocNumList.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"

namespace dovrel::index {

namespace {

// Below this ratio of lengths a plain two-pointer walk is cheaper than galloping.
constexpr uint64_t SKEWED_INTERSECTION_RATIO = 8;

bool strictlyAscending(std::span<const uint32_t> numbers) {
  return std::adjacent_find(numbers.begin(), numbers.end(),
                            [](uint32_t a, uint32_t b) { return a >= b; }) == numbers.end();
}

std::unique_ptr<uint32_t[]> copyOf(std::span<const uint32_t> numbers) {
  std::unique_ptr<uint32_t[]> list = allocateDocNumbers(numbers.size());
  if (!numbers.empty()) std::memcpy(list.get(), numbers.data(), numbers.size_bytes());
  return list;
}

}  // namespace

std::unique_ptr<uint32_t[]> allocateDocNumbers(uint64_t count) {
  if (count == 0) return nullptr;
  uint32_t* list = count <= UINT32_MAX ? new (std::nothrow) uint32_t[count] : nullptr;
  if (list == nullptr) throwOutOfMemory();
  return std::unique_ptr<uint32_t[]>(list);
}

void throwOutOfMemory() { throw DiskOrMemoryError("недостаточно памяти"_cp866); }

DocNumList::DocNumList(std::unique_ptr<uint32_t[]> list, uint32_t length)
    : list_(std::move(list)), length_(length) {
  DOVREL_ASSERT_TEXT(list_ != nullptr || length_ == 0, "list != NULL");
}

uint32_t DocNumList::element(uint32_t index) const {
  DOVREL_ASSERT_TEXT(index < length_, "index < _length");
  return list_[index];
}

OrderedListPtr OrderedDocNumList::create(std::span<const uint32_t> ascending) {
  DOVREL_ASSERT_TEXT(strictlyAscending(ascending), "numbers strictly ascending");
  return adopt(copyOf(ascending), static_cast<uint32_t>(ascending.size()));
}

OrderedListPtr OrderedDocNumList::adopt(std::unique_ptr<uint32_t[]> list, uint32_t length) {
  // Not make_shared: the object must come from its class's pool.
  return OrderedListPtr(new OrderedDocNumList(std::move(list), length));
}

OrderedListPtr OrderedDocNumList::emptyList() { return adopt(nullptr, 0); }

UnorderedListPtr UnorderedDocNumList::create(std::span<const uint32_t> numbers) {
  return adopt(copyOf(numbers), static_cast<uint32_t>(numbers.size()));
}

UnorderedListPtr UnorderedDocNumList::adopt(std::unique_ptr<uint32_t[]> list, uint32_t length) {
  return UnorderedListPtr(new UnorderedDocNumList(std::move(list), length));
}

DocNumListPtr slice(const DocNumListPtr& list, uint32_t offset, uint32_t count) {
  uint32_t from = std::min(offset, list->length());
  uint32_t taken = std::min(count, list->length() - from);
  if (from == 0 && taken == list->length()) return list;
  std::span<const uint32_t> part = list->numbers().subspan(from, taken);
  if (dynamic_cast<const OrderedDocNumList*>(list.get()) != nullptr) {
    return OrderedDocNumList::adopt(copyOf(part), taken);
  }
  return UnorderedDocNumList::adopt(copyOf(part), taken);
}

OrderedListPtr unionOf(const OrderedListPtr& first, const OrderedListPtr& second) {
  if (first == second || second->empty()) return first;
  if (first->empty()) return second;
  const uint32_t* a = first->begin();
  const uint32_t* aEnd = first->end();
  const uint32_t* b = second->begin();
  const uint32_t* bEnd = second->end();
  std::unique_ptr<uint32_t[]> out =
      allocateDocNumbers(uint64_t{first->length()} + second->length());
  uint32_t* o = out.get();
  // Disjoint ranges (the batches of one key, keys of a range scan) are simply laid end to end.
  if (aEnd[-1] < *b) {
    o = std::copy(a, aEnd, o);
    o = std::copy(b, bEnd, o);
  } else if (bEnd[-1] < *a) {
    o = std::copy(b, bEnd, o);
    o = std::copy(a, aEnd, o);
  } else {
    while (a != aEnd && b != bEnd) {
      if (*a < *b) {
        *o++ = *a++;
      } else if (*b < *a) {
        *o++ = *b++;
      } else {
        *o++ = *a++;
        ++b;
      }
    }
    o = std::copy(a, aEnd, o);
    o = std::copy(b, bEnd, o);
  }
  return OrderedDocNumList::adopt(std::move(out), static_cast<uint32_t>(o - out.get()));
}

OrderedListPtr intersectionOf(const OrderedListPtr& first, const OrderedListPtr& second) {
  if (first == second) return first;
  const OrderedListPtr& small = first->length() <= second->length() ? first : second;
  const OrderedListPtr& large = first->length() <= second->length() ? second : first;
  if (small->empty()) return small;
  std::unique_ptr<uint32_t[]> out = allocateDocNumbers(small->length());
  uint32_t* o = out.get();
  const uint32_t* s = small->begin();
  const uint32_t* l = large->begin();
  if (uint64_t{small->length()} * SKEWED_INTERSECTION_RATIO < large->length()) {
    // A short list against a long one: gallop through what is left of the long one to
    // each number, then search the last step's span.
    const uint32_t* const lEnd = large->end();
    for (; s != small->end() && l != lEnd; ++s) {
      std::size_t step = 1;
      const uint32_t* low = l;
      while (step < static_cast<std::size_t>(lEnd - low) && low[step] < *s) {
        low += step;
        step *= 2;
      }
      l = std::lower_bound(low, low + std::min(step + 1, static_cast<std::size_t>(lEnd - low)), *s);
      if (l != lEnd && *l == *s) *o++ = *l++;
    }
  } else {
    // Without branches on the data: the number is written every step and kept when both
    // lists hold it.
    const uint32_t* const sEnd = small->end();
    const uint32_t* const lEnd = large->end();
    while (s != sEnd && l != lEnd) {
      const uint32_t a = *s;
      const uint32_t b = *l;
      *o = a;
      o += a == b ? 1 : 0;
      s += a <= b ? 1 : 0;
      l += b <= a ? 1 : 0;
    }
  }
  return OrderedDocNumList::adopt(std::move(out), static_cast<uint32_t>(o - out.get()));
}

}  // namespace dovrel::index
