// Ordering results by a sort index from what was read of it once. Query thread only.
#include "keys/SortOrder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <new>

#include "foundation/Assert.h"

namespace dovrel::index {

namespace {

template <class Work>
void orOutOfMemory(Work&& work) {
  try {
    work();
  } catch (const std::bad_alloc&) {
    throwOutOfMemory();
  }
}

UnorderedListPtr listOf(const std::vector<uint32_t>& numbers) {
  return UnorderedDocNumList::create(numbers);
}

}  // namespace

void SortOrder::addKey(Key key, std::span<const uint32_t> documents) {
  ++keyCount_;
  if (keyCount_ == 1) std::memcpy(first_.data(), key, keySize(key));
  std::memcpy(last_.data(), key, keySize(key));
  if (documents.empty()) return;
  orOutOfMemory([&] {
    if (documents.back() >= ordinals_.size()) {
      ordinals_.resize(std::max<std::size_t>(documents.back() + 1, ordinals_.size() * 2), 0);
    }
    byKey_.insert(byKey_.end(), documents.begin(), documents.end());
  });
  for (const uint32_t document : documents) {
    if (ordinals_[document] != 0) unique_ = false;
    ordinals_[document] = keyCount_;
  }
}

void SortOrder::finish() {
  std::vector<uint32_t> keyed;
  orOutOfMemory([&] {
    keyed.reserve(byKey_.size());
    for (uint32_t document = 0; document < ordinals_.size(); ++document) {
      if (ordinals_[document] != 0) keyed.push_back(document);
    }
  });
  keyed_ = OrderedDocNumList::create(keyed);
}

UnorderedListPtr SortOrder::slice(const OrderedListPtr& result, bool descending, uint32_t offset,
                                  uint32_t count) const {
  DOVREL_ASSERT(unique_);
  const uint64_t n = result->length();
  const uint64_t end = std::min<uint64_t>(n, uint64_t{offset} + count);
  if (offset >= end) return UnorderedDocNumList::create({});
  // A walk in key order meets about end * keyed / n documents before it has `end` of the
  // result, each looked up in the result; the selection touches every result document.
  const bool all = result.get() == keyed_.get();
  const double steps = static_cast<double>(end) * static_cast<double>(byKey_.size()) /
                       static_cast<double>(n) * (std::log2(static_cast<double>(n)) + 1);
  if (all || steps < static_cast<double>(n)) {
    if (UnorderedListPtr walked = walk(result, descending, offset, end)) return walked;
  }
  return select(*result, descending, offset, end);
}

UnorderedListPtr SortOrder::walk(const OrderedListPtr& result, bool descending, uint64_t offset,
                                 uint64_t end) const {
  const bool all = result.get() == keyed_.get();
  const auto numbers = result->numbers();
  const auto member = [&](uint32_t document) {
    return all || std::binary_search(numbers.begin(), numbers.end(), document);
  };
  std::vector<uint32_t> out;
  orOutOfMemory([&] { out.reserve(end - offset); });
  // Takes the documents of the result without a key, `from` the front or the back, at
  // their positions first .. last - 1 among them.
  const auto unkeyed = [&](bool fromBack, uint64_t first, uint64_t last) {
    uint64_t seen = 0;
    for (std::size_t i = 0; i < numbers.size() && seen < last; ++i) {
      const uint32_t document = numbers[fromBack ? numbers.size() - 1 - i : i];
      if (ordinalOf(document) != 0) continue;
      if (seen >= first) out.push_back(document);
      ++seen;
    }
  };
  // Takes the result's documents in key order (or its reverse), at their positions first ..
  // last - 1 among them; the number of them met.
  // A result that clusters in another part of the key order than the walk starts from
  // would make the walk long: past a budget of steps it gives way to the selection.
  const std::size_t budget = all ? byKey_.size() : numbers.size() + 64;
  bool gaveUp = false;
  const auto keyedWalk = [&](bool backwards, uint64_t first, uint64_t last) {
    uint64_t seen = 0;
    for (std::size_t i = 0; i < byKey_.size() && seen < last; ++i) {
      if (i == budget) {
        gaveUp = true;
        break;
      }
      const uint32_t document = byKey_[backwards ? byKey_.size() - 1 - i : i];
      if (!member(document)) continue;
      if (seen >= first) out.push_back(document);
      ++seen;
    }
    return seen;
  };
  if (!descending) {
    uint64_t withoutKey = 0;
    if (!all) {
      for (const uint32_t document : numbers) withoutKey += ordinalOf(document) == 0 ? 1 : 0;
    }
    if (offset < withoutKey) unkeyed(false, offset, std::min(end, withoutKey));
    if (end > withoutKey) {
      keyedWalk(false, offset > withoutKey ? offset - withoutKey : 0, end - withoutKey);
    }
  } else {
    const uint64_t met = keyedWalk(true, offset, end);
    // The walk ran out of keys: the documents without one follow, descending.
    if (met < end && !gaveUp) unkeyed(true, offset > met ? offset - met : 0, end - met);
  }
  if (gaveUp) return nullptr;
  return listOf(out);
}

UnorderedListPtr SortOrder::select(const OrderedDocNumList& result, bool descending,
                                   uint64_t offset, uint64_t end) const {
  std::vector<uint64_t> pairs;
  orOutOfMemory([&] { pairs.reserve(result.length()); });
  for (const uint32_t document : result) {
    pairs.push_back((uint64_t{ordinalOf(document)} << 32) | document);
  }
  const auto middle = pairs.begin() + static_cast<std::ptrdiff_t>(end);
  if (descending) {
    std::partial_sort(pairs.begin(), middle, pairs.end(), std::greater<uint64_t>());
  } else {
    std::partial_sort(pairs.begin(), middle, pairs.end());
  }
  std::vector<uint32_t> out;
  orOutOfMemory([&] { out.reserve(end - offset); });
  for (uint64_t i = offset; i < end; ++i) out.push_back(static_cast<uint32_t>(pairs[i]));
  return listOf(out);
}

}  // namespace dovrel::index
