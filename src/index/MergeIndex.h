// The merge index: the persistent, crash-safe ordered multimap from keys to documents
// behind every field index, with its two-phase commit. One object per open index file;
// all calls come from the query thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ErrorCode.h"
#include "foundation/Poolable.h"
#include "index/AlignedBuffer.h"
#include "index/ChainSearch.h"
#include "index/ClusterMap.h"
#include "index/IndexFile.h"
#include "index/IndexFormat.h"
#include "index/Key.h"
#include "index/MergeIndexTypes.h"
#include "index/MergeScheduler.h"
#include "storage/OpenMode.h"

namespace dovrel::index {

class Chain;
class Cluster;
class MergePool;
struct DirectoryChain;

// Records (key, document x 2 + flag) go into an in-memory pool; a full pool becomes a
// chain of one cluster, and chains are merged a bounded amount at a time. The state on
// disk changes only through commitPrepare() and commitFinish(): a crash at any point
// leaves the previous or the new committed state readable (see MergeIndex.cpp).
//
// Every operation that can fail returns its EM_* code and never throws. What a failure
// leaves follows the rule in foundation/ErrorCode.h: unless the operation's comment
// promises more, the index in memory need not match any committed state (a failed pool
// flush loses the records it held), so the caller abandons its work, never commits it,
// and may only read the state and counters, end a search it opened and destroy the object;
// the file keeps its last completed commit. The table layer does exactly that (a failure
// becomes a DiskOrMemoryError and the server's error state). One thing holds after any
// failure all the same: a merge step that fails puts its merge back as it was before the
// step, so the chains and merges stay whole; the tests rely on it to check the merge
// bookkeeping, the table layer does not. Calling an operation in the wrong state is a
// broken contract (fatal).
class MergeIndex : public Poolable {
 public:
  static constexpr uint32_t MIN_CLUSTER_SIZE_LOG = index::MIN_CLUSTER_SIZE_LOG;
  static constexpr uint32_t MAX_CLUSTER_SIZE_LOG = index::MAX_CLUSTER_SIZE_LOG;
  static constexpr uint32_t DEFAULT_CLUSTER_SIZE_LOG = index::DEFAULT_CLUSTER_SIZE_LOG;

  // Creates (or truncates) the file at `path` for clusters of `clusterLength` bytes (a
  // power of two from 2^16 to 2^24) and the given multiplier (2 to 100; both fatal
  // otherwise), commits it empty and sets `index` to it. `index` is null after a failure
  // (EM_CREATE, EM_WRITE, ...).
  static ErrorCode create(const std::string& path, uint32_t clusterLength, uint32_t mergeMultiplier,
                          std::unique_ptr<MergeIndex>& index);
  // Opens the file at `path` and restores its committed state: with OpenMode::openNormal
  // from information blocks 0 and 1, with OpenMode::openAfterCommit (only after a commit
  // whose first phase may not have completed) from blocks 2 and 3, and copies that pair
  // over the other. `index` is null after a failure: EM_OPEN, EM_READ, EM_BAD_DATA for a
  // damaged file.
  static ErrorCode open(const std::string& path, OpenMode mode, std::unique_ptr<MergeIndex>& index);

  // Closes the file without writing: what was not committed is lost, exactly as in a
  // crash. destroy() is the orderly way.
  ~MergeIndex();
  MergeIndex(const MergeIndex&) = delete;
  MergeIndex& operator=(const MergeIndex&) = delete;

  // Records `document` under `key` (a real key) as inserted or removed. A document above
  // MAX_DOCUMENT_NUMBER gives EM_DOC_TOO_LARGE and changes nothing (the index may be used
  // on). Requires STATE_NEUTRAL or STATE_AFTER_COMMIT.
  ErrorCode insert(Key key, uint32_t document, InsertMode mode);

  // First commit phase: writes the new directory and information blocks 0 and 1 and makes
  // them durable. Requires STATE_NEUTRAL or STATE_AFTER_COMMIT; enters STATE_IN_COMMIT.
  ErrorCode commitPrepare();
  // Second phase: information blocks 2 and 3, made durable; then frees what only the
  // previous commit needed. Requires STATE_IN_COMMIT; enters STATE_AFTER_COMMIT.
  ErrorCode commitFinish();

  // Starts a forward scan on the first key visible under `mode`; `empty` true when there
  // is none. Requires STATE_NEUTRAL or STATE_AFTER_COMMIT; enters STATE_IN_FORWARD_SEARCH
  // (also on failure, so that endSearch() may follow).
  ErrorCode startSearch(SearchMode mode, bool& empty);
  // Starts a forward scan on the first visible key not smaller than `key` and sets `code`
  // to its code against `key`: SEARCH_EQUAL, SEARCH_EXTENDS (key is a proper prefix of
  // it), SEARCH_GREATER, or SEARCH_SMALLER when there is none (prevKey() then yields the
  // last visible key). Same states as startSearch().
  ErrorCode findKey(Key key, SearchMode mode, SearchCode& code);
  // The next / previous visible key; `atEnd` true at the end / the beginning. Either
  // direction may follow either. Require an open search.
  ErrorCode nextKey(bool& atEnd);
  ErrorCode prevKey(bool& atEnd);
  // Copies the current key (length byte and bytes, at most 256 bytes) to `out`. Requires
  // an open search standing on a key.
  void getKey(uint8_t* out) const;
  // The current key itself, valid until the scan moves or ends. Same requirements.
  Key currentKey() const;
  // Up to DOCS_BATCH more documents of the current key visible under the search mode,
  // ascending, into `out`; `count` below DOCS_BATCH means they are exhausted.
  ErrorCode getDocs(std::array<uint32_t, DOCS_BATCH>& out, uint32_t& count);
  // Appends all the current key's documents that getDocs has not handed out, ascending,
  // to `out` in one call. EM_NO_MEMORY when `out` cannot grow.
  ErrorCode collectDocs(std::vector<uint32_t>& out);
  // Ends the scan and frees the clusters it loaded; enters STATE_NEUTRAL.
  void endSearch();

  // The documents of many keys at once, without a key scan: from the first key not
  // smaller than `start` (from the first key when null), `step` decides for each key in
  // order whether its documents are taken, and where the walk stops. Appends them to
  // `out` in runs that are each ascending but together in no order, with repeats. Sets
  // `done` false, `out` unchanged, when the index holds records this cannot resolve (see
  // ChainSearch::collectPerChain); the caller then scans with findKey and nextKey. A
  // complete operation: from and to STATE_NEUTRAL or STATE_AFTER_COMMIT, like a search
  // that was ended.
  ErrorCode collectKeys(Key start, const std::function<KeyStep(Key)>& step, SearchMode mode,
                        std::vector<uint32_t>& out, bool& done);

  // A bounded amount of merging towards a single chain; `result` tells whether more is
  // left (MORE after a failure). Requires STATE_NEUTRAL or STATE_AFTER_COMMIT; enters
  // STATE_NEUTRAL.
  ErrorCode optimize(OptimizeResult& result);

  // Closes the index. Requires STATE_AFTER_COMMIT: an index with uncommitted changes is
  // never destroyed this way. The object may only be deleted afterwards.
  void destroy();

  MergeIndexState state() const { return state_; }
  uint32_t clusterLength() const { return clusterLength_; }
  uint32_t mergeMultiplier() const { return mergeMultiplier_; }
  // For diagnostics and tests: chains, merges in progress, clusters of the file, free
  // clusters.
  uint32_t chainNum() const { return static_cast<uint32_t>(data_.size()); }
  uint32_t inMergeNum() const { return scheduler_.inMergeNum(); }
  uint32_t clusterNum() const { return file_.clusterNum(); }
  uint32_t freeClusterNum() const { return map_.freeCount(); }
  // Counts the insert() calls of this object: the keys and documents a search sees change
  // only when it does.
  uint64_t changeCount() const { return changeCount_; }

 private:
  MergeIndex(uint32_t clusterLength, uint32_t mergeMultiplier);

  // Allocates the pool and the cluster buffer.
  ErrorCode build();
  // open(): information blocks, directory walk, snapshot, free list.
  ErrorCode restore(OpenMode mode);
  // The information block of the pair that `mode` trusts, checked, into `block`.
  ErrorCode readInfoPair(OpenMode mode, InfoBlock* info, AlignedBuffer& block);
  ErrorCode chainFromDirectory(const DirectoryChain& entries, std::unique_ptr<Chain>& chain);
  // Turns the pool's poured-out run into a new chain and runs the merge policy.
  ErrorCode flushPoured();
  // flushPoured() when the pool holds anything.
  ErrorCode flushPool();
  ErrorCode writeDirectory(uint32_t first);

  // Clusters the committed state will hold references to: every chain's and every merge
  // output's.
  std::size_t committedClusterCount() const;
  // Drops the previous committed state's references and takes the current one's.
  void replaceSnapshot();
  void requireIdle() const;
  void requireSearch() const;

  IndexFile file_;
  uint32_t clusterLength_;
  uint32_t mergeMultiplier_;
  ClusterMap map_;
  std::unique_ptr<Cluster> buffer_;
  std::unique_ptr<MergePool> pool_;
  std::vector<std::unique_ptr<Chain>> data_;  // the current chains, oldest first
  MergeScheduler scheduler_;
  ChainSearch search_;
  // Clusters of the last committed state, each holding one reference.
  std::vector<uint32_t> snapshot_;
  MergeIndexState state_ = STATE_AFTER_COMMIT;
  bool changed_ = false;
  uint64_t changeCount_ = 0;
  AlignedBuffer hbuf_;  // the information block of a commit in progress
};

}  // namespace dovrel::index
