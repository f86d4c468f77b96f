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

bool ChainSearch::prepare(SearchMode mode, ErrorCode& error) {
  mode_ = mode;
  forward_ = true;
  current_ = keyMin;
  return guardAllocation(error, [&] {
    flags_.assign(chains_.size(), 0);
    heads_.assign(chains_.size(), Chain::NO_VALUE);
  });
}

bool ChainSearch::start(SearchMode mode, ErrorCode& error) {
  if (!prepare(mode, error)) return true;
  for (const auto& chain : chains_) {
    chain->release();
    chain->nextKey(error);
    if (error != EM_NO_ERRORS) return true;
  }
  return scan(true, false, error);
}

SearchCode ChainSearch::find(Key key, SearchMode mode, ErrorCode& error) {
  if (!prepare(mode, error)) return SEARCH_SMALLER;
  for (const auto& chain : chains_) {
    chain->find(key, error);
    if (error != EM_NO_ERRORS) return SEARCH_SMALLER;
  }
  if (scan(true, false, error)) return SEARCH_SMALLER;
  return keySearchCompare(current_, key);
}

bool ChainSearch::next(ErrorCode& error) {
  if (!forward_) {
    for (std::size_t i = 0; i < chains_.size(); ++i) {
      if (!flags_[i]) chains_[i]->nextKey(error);
      if (error != EM_NO_ERRORS) return true;
    }
  }
  return scan(true, true, error);
}

bool ChainSearch::prev(ErrorCode& error) {
  if (forward_) {
    for (std::size_t i = 0; i < chains_.size(); ++i) {
      if (!flags_[i]) chains_[i]->prevKey(error);
      if (error != EM_NO_ERRORS) return true;
    }
  }
  return scan(false, true, error);
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

bool ChainSearch::scan(bool forward, bool stepFirst, ErrorCode& error) {
  forward_ = forward;
  for (bool step = stepFirst;; step = true) {
    if (step) {
      for (std::size_t i = 0; i < chains_.size(); ++i) {
        if (!flags_[i]) continue;
        if (forward) {
          chains_[i]->nextKey(error);
        } else {
          chains_[i]->prevKey(error);
        }
        if (error != EM_NO_ERRORS) return true;
      }
    }
    settle(forward);
    if (!isRealKey(current_)) return true;
    if (visible(error)) return false;
    if (error != EM_NO_ERRORS) return true;
  }
}

bool ChainSearch::peekHeads(ErrorCode& error) {
  for (std::size_t i = 0; i < chains_.size(); ++i) {
    heads_[i] = flags_[i] ? chains_[i]->peekValue(error) : Chain::NO_VALUE;
    if (error != EM_NO_ERRORS) return false;
  }
  return true;
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

bool ChainSearch::consume(uint32_t order, ErrorCode& error) {
  for (std::size_t i = 0; i < chains_.size(); ++i) {
    if (heads_[i] == Chain::NO_VALUE || recordOrder(heads_[i]) != order) continue;
    chains_[i]->nextValue(error);
    if (error == EM_NO_ERRORS) heads_[i] = chains_[i]->peekValue(error);
    if (error != EM_NO_ERRORS) return false;
  }
  return true;
}

bool ChainSearch::visible(ErrorCode& error) {
  if (mode_ == SearchMode::ALL) return true;
  if (!peekHeads(error)) return false;
  for (;;) {
    int32_t best = winner();
    if (best < 0) return false;
    if (recordMatches(heads_[best], mode_)) return true;
    if (!consume(recordOrder(heads_[best]), error)) return false;
  }
}

uint32_t ChainSearch::getDocs(uint32_t* out, ErrorCode& error) {
  if (!isRealKey(current_) || !peekHeads(error)) return 0;
  uint32_t count = 0;
  while (count < DOCS_BATCH) {
    int32_t best = winner();
    if (best < 0) break;
    uint32_t value = heads_[best];
    if (recordMatches(value, mode_)) out[count++] = value >> 1;
    if (!consume(recordOrder(value), error)) break;
  }
  return count;
}

void ChainSearch::collectDocs(std::vector<uint32_t>& out, ErrorCode& error) {
  if (!isRealKey(current_)) return;
  guardAllocation(error, [&] {
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
      chains_[only]->takeValues(out, error);
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
      chains_[i]->takeValues(runs_[runCount++], error);
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

bool ChainSearch::collectPerChain(Key start, const std::function<KeyStep(Key)>& step,
                                  SearchMode mode, std::vector<uint32_t>& out, ErrorCode& error) {
  if (mode == SearchMode::REMOVED || !prepare(mode, error)) return false;
  const std::size_t before = out.size();
  bool exact = true;
  guardAllocation(error, [&] {
    for (const auto& chain : chains_) {
      chain->release();
      bool onKey =
          start != nullptr ? chain->find(start, error) != SEARCH_SMALLER : chain->nextKey(error);
      for (; onKey && error == EM_NO_ERRORS; onKey = chain->nextKey(error)) {
        const KeyStep what = step(chain->currentKey());
        if (what == KeyStep::STOP) break;
        if (what == KeyStep::SKIP) continue;
        const std::size_t at = out.size();
        chain->takeValues(out, error);
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
  if (!exact || error != EM_NO_ERRORS) out.resize(before);
  return exact;
}

void ChainSearch::end() {
  for (const auto& chain : chains_) chain->release();
  current_ = keyMin;
}

}  // namespace dovrel::index
