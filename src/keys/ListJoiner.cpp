// Unions of many runs in one pass. Query thread only.
#include "keys/ListJoiner.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>
#include <new>

namespace dovrel::index {

namespace {

// A bit set costs a step per number and a word per 64 numbers of the span (or, with fewer
// numbers than that, a second step per number and a word per 4096); a sort about log2(n)
// steps of a few nanoseconds per number. The bit set's memory stays within 128 bytes per
// number united: numbers no sparser than one in a thousand take it.
bool denseEnoughForBits(uint32_t greatest, std::size_t count) {
  return greatest / 64 <= count * 16;
}

OrderedListPtr listOf(const uint32_t* numbers, std::size_t count) {
  std::unique_ptr<uint32_t[]> list = allocateDocNumbers(count);
  if (count != 0) std::memcpy(list.get(), numbers, count * sizeof(uint32_t));
  return OrderedDocNumList::adopt(std::move(list), static_cast<uint32_t>(count));
}

// Few numbers sort faster than any bit set is walked.
constexpr std::size_t SORT_AT_MOST = 32;

// The bit set of the dense unions, all zero between them: a word per 64 numbers, cleared
// as it is read, and for unions with fewer numbers than words a summary bit per word, so
// that those visit only the words they set. One is kept for the process (queries run one
// at a time, so its lock is free), never larger than the greatest number united so far
// needs (an eighth of a byte per number); a union that finds it taken uses one of its own.
struct DenseScratch {
  std::mutex mutex;
  std::vector<uint64_t> words;
  std::vector<uint64_t> summary;  // bit w % 64 of summary[w / 64]: words[w] is not zero
};

DenseScratch& keptScratch() {
  static DenseScratch scratch;
  return scratch;
}

// `numbers` in ascending order without repeats, as a list; `numbers` may be reordered.
OrderedListPtr uniteUnordered(std::vector<uint32_t>& numbers) {
  const uint32_t greatest = *std::max_element(numbers.begin(), numbers.end());
  if (numbers.size() <= SORT_AT_MOST || !denseEnoughForBits(greatest, numbers.size())) {
    std::sort(numbers.begin(), numbers.end());
    const auto end = std::unique(numbers.begin(), numbers.end());
    return listOf(numbers.data(), static_cast<std::size_t>(end - numbers.begin()));
  }
  // Everything that can fail comes before the first bit is set, so the scratch stays zero.
  // Room for every number gathered; the repeats leave some of it unused.
  std::unique_ptr<uint32_t[]> list = allocateDocNumbers(numbers.size());
  DenseScratch& kept = keptScratch();
  std::unique_lock<std::mutex> keptLock(kept.mutex, std::try_to_lock);
  DenseScratch own;
  DenseScratch& scratch = keptLock.owns_lock() ? kept : own;
  const std::size_t wordCount = std::size_t{greatest} / 64 + 1;
  const std::size_t summaryCount = (wordCount - 1) / 64 + 1;
  try {
    if (scratch.words.size() < wordCount) scratch.words.resize(wordCount, 0);
    if (scratch.summary.size() < summaryCount) scratch.summary.resize(summaryCount, 0);
  } catch (const std::bad_alloc&) {
    throwOutOfMemory();
  }
  uint64_t* words = scratch.words.data();
  uint32_t* out = list.get();
  const auto emit = [&out, words](std::size_t w) {
    for (uint64_t word = words[w]; word != 0; word &= word - 1) {
      *out++ = static_cast<uint32_t>(w * 64 + static_cast<uint32_t>(std::countr_zero(word)));
    }
    words[w] = 0;
  };
  if (numbers.size() * 2 >= wordCount) {
    // About a number per word or more: every word is read anyway, the summary would only
    // add a store per number.
    for (const uint32_t number : numbers) words[number / 64] |= uint64_t{1} << (number % 64);
    for (std::size_t w = 0; w < wordCount; ++w) emit(w);
  } else {
    uint64_t* summary = scratch.summary.data();
    for (const uint32_t number : numbers) {
      words[number / 64] |= uint64_t{1} << (number % 64);
      summary[number / 4096] |= uint64_t{1} << (number / 64 % 64);
    }
    for (std::size_t s = 0; s < summaryCount; ++s) {
      for (uint64_t used = summary[s]; used != 0; used &= used - 1) {
        emit(s * 64 + static_cast<std::size_t>(std::countr_zero(used)));
      }
      summary[s] = 0;
    }
  }
  return OrderedDocNumList::adopt(std::move(list), static_cast<uint32_t>(out - list.get()));
}

}  // namespace

void ListJoiner::add(const OrderedListPtr& list) {
  if (list->empty()) return;
  if (single_ == nullptr && numbers_.empty()) {
    single_ = list;
    return;
  }
  add(list->numbers());
}

void ListJoiner::add(std::span<const uint32_t> ascending) {
  if (ascending.empty()) return;
  try {
    if (single_ != nullptr) {
      const OrderedListPtr first = std::move(single_);
      single_.reset();
      numbers_.insert(numbers_.end(), first->begin(), first->end());
    }
    const std::size_t start = numbers_.size();
    numbers_.insert(numbers_.end(), ascending.begin(), ascending.end());
    endRun(start);
  } catch (const std::bad_alloc&) {
    throwOutOfMemory();
  }
}

void ListJoiner::endRun(std::size_t runStart) {
  if (runStart != 0 && runStart < numbers_.size() && numbers_[runStart] <= numbers_[runStart - 1]) {
    inOrder_ = false;
  }
}

void ListJoiner::endRuns(std::size_t start) {
  if (start != 0) --start;  // the stretch must also follow what came before it
  for (std::size_t i = start + 1; inOrder_ && i < numbers_.size(); ++i) {
    if (numbers_[i] <= numbers_[i - 1]) inOrder_ = false;
  }
}

OrderedListPtr ListJoiner::join() const {
  if (single_ != nullptr) return single_;
  if (numbers_.empty()) return OrderedDocNumList::emptyList();
  if (inOrder_) return listOf(numbers_.data(), numbers_.size());
  std::vector<uint32_t> copy;
  try {
    copy = numbers_;
  } catch (const std::bad_alloc&) {
    throwOutOfMemory();
  }
  return uniteUnordered(copy);
}

OrderedListPtr ListJoiner::take() {
  OrderedListPtr result;
  if (single_ != nullptr) {
    result = std::move(single_);
  } else if (numbers_.empty()) {
    result = OrderedDocNumList::emptyList();
  } else if (inOrder_) {
    result = listOf(numbers_.data(), numbers_.size());
  } else {
    result = uniteUnordered(numbers_);
  }
  single_.reset();
  numbers_.clear();
  inOrder_ = true;
  return result;
}

}  // namespace dovrel::index
