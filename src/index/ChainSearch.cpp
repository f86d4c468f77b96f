// Key scans in both directions over the chains of a merge index, the visibility rule of
// the search modes and the documents of a key. Called by the merge index on the query
// thread only.
//
// Looking for a visible document consumes the records of the invisible documents before
// it, and only those; getDocs would skip them anyway, so it goes on from where the check
// stopped. The current key is kept as a copy because reading a key's values may carry a
// chain into the next cluster, over the bytes the key pointed at.
#include "index/ChainSearch.h"

#include <algorithm>
#include <cstring>

#include "foundation/Assert.h"
#include "index/AlignedBuffer.h"
#include "index/Chain.h"

namespace dovrel::index {

namespace {

// keyCompare for positions that may be the same sentinel.
int comparePositions(Key a, Key b) { return a == b ? 0 : keyCompare(a, b); }

}  // namespace

ErrorCode ChainSearch::prepare(SearchMode mode) {
  mode_ = mode;
  forward_ = true;
  current_ = keyMin;
  return guardAllocation([&] {
    flags_.assign(chains_.size(), 0);
    heads_.assign(chains_.size(), Chain::NO_VALUE);
  });
}

ErrorCode ChainSearch::start(SearchMode mode, bool& atEnd) {
  if (ErrorCode error = prepare(mode)) return error;
  bool onKey = false;
  for (const auto& chain : chains_) {
    chain->release();
    if (ErrorCode error = chain->nextKey(onKey)) return error;
  }
  return scan(true, false, atEnd);
}

ErrorCode ChainSearch::find(Key key, SearchMode mode, SearchCode& code) {
  if (ErrorCode error = prepare(mode)) return error;
  SearchCode chainCode = SEARCH_SMALLER;
  for (const auto& chain : chains_) {
    if (ErrorCode error = chain->find(key, chainCode)) return error;
  }
  bool atEnd = false;
  if (ErrorCode error = scan(true, false, atEnd)) return error;
  code = atEnd ? SEARCH_SMALLER : keySearchCompare(current_, key);
  return EM_NO_ERRORS;
}

ErrorCode ChainSearch::next(bool& atEnd) {
  if (!forward_) {
    bool onKey = false;
    for (std::size_t i = 0; i < chains_.size(); ++i) {
      if (flags_[i]) continue;
      if (ErrorCode error = chains_[i]->nextKey(onKey)) return error;
    }
  }
  return scan(true, true, atEnd);
}

ErrorCode ChainSearch::prev(bool& atEnd) {
  if (forward_) {
    bool onKey = false;
    for (std::size_t i = 0; i < chains_.size(); ++i) {
      if (flags_[i]) continue;
      if (ErrorCode error = chains_[i]->prevKey(onKey)) return error;
    }
  }
  return scan(false, true, atEnd);
}

void ChainSearch::settle(bool forward) {
  // One pass: the chains flagged so far stand on the best key so far.
  Key best = forward ? keyMax : keyMin;
  for (std::size_t i = 0; i < chains_.size(); ++i) {
    const Key key = chains_[i]->currentKey();
    const int order = comparePositions(key, best);
    if (order == 0) {
      flags_[i] = 1;
    } else if (forward ? order < 0 : order > 0) {
      best = key;
      std::fill(flags_.begin(), flags_.begin() + static_cast<std::ptrdiff_t>(i), 0);
      flags_[i] = 1;
    } else {
      flags_[i] = 0;
    }
  }
  if (isRealKey(best)) {
    std::memcpy(key_.data(), best, keySize(best));
    current_ = key_.data();
  } else {
    current_ = best;
  }
}

ErrorCode ChainSearch::scan(bool forward, bool stepFirst, bool& atEnd) {
  forward_ = forward;
  for (bool step = stepFirst;; step = true) {
    if (step) {
      bool onKey = false;
      for (std::size_t i = 0; i < chains_.size(); ++i) {
        if (!flags_[i]) continue;
        ErrorCode error = forward ? chains_[i]->nextKey(onKey) : chains_[i]->prevKey(onKey);
        if (error != EM_NO_ERRORS) return error;
      }
    }
    settle(forward);
    if (!isRealKey(current_)) {
      atEnd = true;
      return EM_NO_ERRORS;
    }
    bool isVisible = false;
    if (ErrorCode error = visible(isVisible)) return error;
    if (isVisible) {
      atEnd = false;
      return EM_NO_ERRORS;
    }
  }
}

ErrorCode ChainSearch::peekHeads() {
  for (std::size_t i = 0; i < chains_.size(); ++i) {
    heads_[i] = Chain::NO_VALUE;
    if (!flags_[i]) continue;
    if (ErrorCode error = chains_[i]->peekValue(heads_[i])) return error;
  }
  return EM_NO_ERRORS;
}

int32_t ChainSearch::winner() const {
  int32_t best = -1;
  for (std::size_t i = 0; i < chains_.size(); ++i) {
    if (heads_[i] == Chain::NO_VALUE) continue;
    // Chains run oldest first, so on a tie the later (newer) chain wins.
    if (best < 0 || recordOrder(heads_[i]) <= recordOrder(heads_[best])) {
      best = static_cast<int32_t>(i);
    }
  }
  return best;
}

ErrorCode ChainSearch::consume(uint32_t order) {
  for (std::size_t i = 0; i < chains_.size(); ++i) {
    if (heads_[i] == Chain::NO_VALUE || recordOrder(heads_[i]) != order) continue;
    uint32_t consumed = 0;
    if (ErrorCode error = chains_[i]->nextValue(consumed)) return error;
    if (ErrorCode error = chains_[i]->peekValue(heads_[i])) return error;
  }
  return EM_NO_ERRORS;
}

ErrorCode ChainSearch::visible(bool& isVisible) {
  isVisible = false;
  if (mode_ == SearchMode::ALL) {
    isVisible = true;
    return EM_NO_ERRORS;
  }
  if (ErrorCode error = peekHeads()) return error;
  for (;;) {
    int32_t best = winner();
    if (best < 0) return EM_NO_ERRORS;
    if (recordMatches(heads_[best], mode_)) {
      isVisible = true;
      return EM_NO_ERRORS;
    }
    if (ErrorCode error = consume(recordOrder(heads_[best]))) return error;
  }
}

ErrorCode ChainSearch::getDocs(uint32_t* out, uint32_t& count) {
  count = 0;
  if (!isRealKey(current_)) return EM_NO_ERRORS;
  if (ErrorCode error = peekHeads()) return error;
  while (count < DOCS_BATCH) {
    int32_t best = winner();
    if (best < 0) break;
    uint32_t value = heads_[best];
    if (recordMatches(value, mode_)) out[count++] = value >> 1;
    if (ErrorCode error = consume(recordOrder(value))) return error;
  }
  return EM_NO_ERRORS;
}

ErrorCode ChainSearch::collectDocs(std::vector<uint32_t>& out) {
  if (!isRealKey(current_)) return EM_NO_ERRORS;
  ErrorCode error = EM_NO_ERRORS;
  ErrorCode allocationError = guardAllocation([&] {
    // Mostly a single chain holds the key: its records go straight into `out`, each its
    // own newest, and only those of the mode stay.
    std::size_t only = chains_.size();
    for (std::size_t i = 0; i < chains_.size(); ++i) {
      if (!flags_[i]) continue;
      if (only != chains_.size()) {
        only = chains_.size();
        break;
      }
      only = i;
    }
    if (only != chains_.size()) {
      std::size_t at = out.size();
      error = chains_[only]->takeValues(out);
      for (std::size_t i = at; i < out.size(); ++i) {
        const uint32_t value = out[i];
        out[at] = value >> 1;
        at += recordMatches(value, mode_) ? 1 : 0;
      }
      out.resize(at);
      return;
    }
    uint32_t runCount = 0;
    for (std::size_t i = 0; i < chains_.size() && error == EM_NO_ERRORS; ++i) {
      if (!flags_[i]) continue;
      if (runs_.size() <= runCount) runs_.emplace_back();
      runs_[runCount].clear();
      error = chains_[i]->takeValues(runs_[runCount++]);
    }
    if (error != EM_NO_ERRORS) return;
    // Chains filled one after another hold the records of separate stretches of
    // documents. Runs that do not overlap follow one another in the order of their first
    // records, and each record is its own newest, as in a single chain.
    order_.clear();
    for (uint32_t r = 0; r < runCount; ++r) {
      if (!runs_[r].empty()) order_.push_back(r);
    }
    std::sort(order_.begin(), order_.end(),
              [this](uint32_t a, uint32_t b) { return runs_[a].front() < runs_[b].front(); });
    for (std::size_t i = 1; i < order_.size(); ++i) {
      if (recordOrder(runs_[order_[i - 1]].back()) >= recordOrder(runs_[order_[i]].front())) {
        mergeRuns(runCount, out);
        return;
      }
    }
    for (const uint32_t r : order_) {
      const std::vector<uint32_t>& run = runs_[r];
      std::size_t at = out.size();
      out.resize(at + run.size());
      for (const uint32_t value : run) {
        out[at] = value >> 1;
        at += recordMatches(value, mode_) ? 1 : 0;
      }
      out.resize(at);
    }
  });
  return allocationError != EM_NO_ERRORS ? allocationError : error;
}

void ChainSearch::mergeRuns(uint32_t runCount, std::vector<uint32_t>& out) const {
  // Folded from the oldest run to the newest: of two records of one document the newer
  // run's stays, which leaves each document's newest record, as winner() picks it.
  std::vector<uint32_t> merged = runs_[0];
  std::vector<uint32_t> next;
  for (uint32_t r = 1; r < runCount; ++r) {
    const std::vector<uint32_t>& newer = runs_[r];
    next.clear();
    next.reserve(merged.size() + newer.size());
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < merged.size() && j < newer.size()) {
      const uint32_t older = recordOrder(merged[i]);
      const uint32_t order = recordOrder(newer[j]);
      if (older < order) {
        next.push_back(merged[i++]);
      } else {
        i += older == order ? 1 : 0;
        next.push_back(newer[j++]);
      }
    }
    next.insert(next.end(), merged.begin() + static_cast<std::ptrdiff_t>(i), merged.end());
    next.insert(next.end(), newer.begin() + static_cast<std::ptrdiff_t>(j), newer.end());
    merged.swap(next);
  }
  for (const uint32_t value : merged) {
    if (recordMatches(value, mode_)) out.push_back(value >> 1);
  }
}

ErrorCode ChainSearch::collectPerChain(Key start, const std::function<KeyStep(Key)>& step,
                                       SearchMode mode, std::vector<uint32_t>& out, bool& done) {
  done = false;
  if (mode == SearchMode::REMOVED) return EM_NO_ERRORS;
  if (ErrorCode error = prepare(mode)) return error;
  const std::size_t before = out.size();
  bool exact = true;
  ErrorCode error = EM_NO_ERRORS;
  ErrorCode allocationError = guardAllocation([&] {
    for (const auto& chain : chains_) {
      chain->release();
      bool onKey = false;
      if (start != nullptr) {
        SearchCode code = SEARCH_SMALLER;
        error = chain->find(start, code);
        onKey = code != SEARCH_SMALLER;
      } else {
        error = chain->nextKey(onKey);
      }
      for (; onKey && error == EM_NO_ERRORS; error = chain->nextKey(onKey)) {
        const KeyStep what = step(chain->currentKey());
        if (what == KeyStep::STOP) break;
        if (what == KeyStep::SKIP) continue;
        const std::size_t at = out.size();
        error = chain->takeValues(out);
        if (error != EM_NO_ERRORS) return;
        uint32_t removals = 0;

        for (std::size_t i = at; i < out.size(); ++i) {
          removals |= out[i] & RECORD_REMOVED;
          out[i] >>= 1;
        }
        if (removals != 0 && mode == SearchMode::PRESENT) {
          exact = false;
          return;
        }
      }
      if (error != EM_NO_ERRORS) return;
    }
  });
  if (allocationError != EM_NO_ERRORS) error = allocationError;
  if (!exact || error != EM_NO_ERRORS) out.resize(before);
  done = exact;
  return error;
}

void ChainSearch::end() {
  for (const auto& chain : chains_) chain->release();
  current_ = keyMin;
}

}  // namespace dovrel::index
