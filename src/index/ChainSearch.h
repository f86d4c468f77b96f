// An open key scan over the chains of a merge index: the current key, the chains standing
// on it, the direction of the last step and the search mode that decides which keys and
// documents are visible. Owned by the merge index; query thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/ErrorCode.h"
#include "index/IndexFormat.h"
#include "index/Key.h"
#include "index/MergeIndexTypes.h"

namespace dovrel::index {

class Chain;

// Between steps every chain stands on a key of its own (or before its start / after its
// end), and the flagged chains are exactly those standing on the current key:
//  - after a forward step, each chain stands on its smallest key not smaller than the
//    current key;
//  - after a backward step, on its largest key not greater than the current key.
// A step in the other direction first moves the unflagged chains once, which turns one
// arrangement into the other.
//
// A key is visible when some document's newest record under it matches the mode (every
// key in SearchMode::ALL). Chains are passed oldest first; where two chains hold a record
// of the same document, the newer chain's record is the newest. Every call may read
// clusters: a failure returns its code and leaves the scan undefined (the caller ends it).
class ChainSearch {
 public:
  using Chains = std::vector<std::unique_ptr<Chain>>;

  // A scan over `chains`, which must not change until end().
  explicit ChainSearch(const Chains& chains) : chains_(chains) {}
  ChainSearch(const ChainSearch&) = delete;
  ChainSearch& operator=(const ChainSearch&) = delete;

  // Positions on the first visible key; `atEnd` true when there is none. EM_NO_MEMORY
  // possible.
  ErrorCode start(SearchMode mode, bool& atEnd);
  // Positions on the first visible key not smaller than `key` and sets `code` to its
  // search code against `key`; SEARCH_SMALLER, with every chain after its end, when there
  // is none.
  ErrorCode find(Key key, SearchMode mode, SearchCode& code);
  // To the next / previous visible key; `atEnd` true at the end / the beginning (the
  // current key is then keyMax / keyMin).
  ErrorCode next(bool& atEnd);
  ErrorCode prev(bool& atEnd);
  // keyMin, keyMax or a copy of the current key (valid until the next step).
  Key currentKey() const { return current_; }
  // Up to DOCS_BATCH more visible documents of the current key, ascending, and their
  // `count`; fewer means the key's documents are exhausted.
  ErrorCode getDocs(uint32_t* out, uint32_t& count);
  // Appends every visible document of the current key not handed out yet to `out`,
  // ascending: what getDocs would hand out until a short batch, read a cluster's share at
  // a time. EM_NO_MEMORY when `out` cannot grow.
  ErrorCode collectDocs(std::vector<uint32_t>& out);
  // Without a merged scan: walks each chain on its own from its first key not smaller
  // than `start` (from its first key when `start` is null), asks `step` about every key
  // and appends the documents of the keys taken to `out`, a run per key and chain (so not
  // in order, and a document may come more than once). Exact only while each chain's
  // records are their own newest: in SearchMode::ALL always, in PRESENT when none of the
  // records met is a removal. Sets `done` false, with `out` as it was, when that does not
  // hold or `mode` is REMOVED; the caller then scans. A failure also leaves `out` as it
  // was. Leaves the scan to be ended.
  ErrorCode collectPerChain(Key start, const std::function<KeyStep(Key)>& step, SearchMode mode,
                            std::vector<uint32_t>& out, bool& done);
  // Frees the chains' loaded clusters.
  void end();

 private:
  ErrorCode prepare(SearchMode mode);
  // Makes the current key the smallest (forward) or largest chain key and flags the
  // chains on it.
  void settle(bool forward);
  // Steps the flagged chains and settles until a visible key or the end (`atEnd`).
  ErrorCode scan(bool forward, bool stepFirst, bool& atEnd);
  ErrorCode visible(bool& isVisible);
  // Reads the next record of every flagged chain into heads_.
  ErrorCode peekHeads();
  // The flagged chain holding the newest record of the smallest document, or -1.
  int32_t winner() const;
  // Consumes the records of the document `order` from every flagged chain that holds it.
  ErrorCode consume(uint32_t order);

  // collectDocs over several chains: the newest record of each document from runs_.
  void mergeRuns(uint32_t runCount, std::vector<uint32_t>& out) const;

  const Chains& chains_;
  SearchMode mode_ = SearchMode::PRESENT;
  bool forward_ = true;
  std::vector<uint8_t> flags_;   // per chain: stands on the current key
  std::vector<uint32_t> heads_;  // per flagged chain: its next record, or Chain::NO_VALUE
  Key current_ = keyMin;
  std::array<uint8_t, MAX_KEY_LENGTH + 1> key_{};
  std::vector<std::vector<uint32_t>> runs_;  // collectDocs: each flagged chain's records
  std::vector<uint32_t> order_;              // collectDocs: the non-empty runs by first record
};

}  // namespace dovrel::index
