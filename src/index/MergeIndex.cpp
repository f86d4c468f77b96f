// The merge index's life: create and open, insertion and pool flushes, searches, optimize,
// and the two-phase commit. Called on the query thread only.
//
// States and the function behind each transition:
//   create(), open()            -> STATE_AFTER_COMMIT
//   insert(), optimize()        STATE_NEUTRAL | STATE_AFTER_COMMIT -> STATE_NEUTRAL
//   startSearch(), findKey()    STATE_NEUTRAL | STATE_AFTER_COMMIT -> STATE_IN_FORWARD_SEARCH
//   nextKey() / prevKey()       a search -> STATE_IN_FORWARD_SEARCH / STATE_IN_BACKWARD_SEARCH
//   endSearch()                 a search -> STATE_NEUTRAL
//   commitPrepare()             STATE_NEUTRAL | STATE_AFTER_COMMIT -> STATE_IN_COMMIT
//   commitFinish()              STATE_IN_COMMIT -> STATE_AFTER_COMMIT
//   destroy()                   STATE_AFTER_COMMIT -> STATE_CLOSED
//
// Invariants of the file:
//  1. At rest information blocks 0 to 3 are equal. Between the phases blocks 0 and 1
//     describe the new state and blocks 2 and 3 the previous one; each pair is written
//     whole and made durable (fdatasync) before the other pair is touched, so one pair is
//     always intact. open() copies the pair it trusts over the other and syncs.
//  2. Every cluster named by the last committed directory (its chains, the output chains
//     of its merges, the directory itself) stays allocated and unwritten until the commit
//     after it completes: the chains and merge outputs through one reference each held by
//     the snapshot, the directory clusters through their marks in the cluster map.
//  3. Clusters are written only while free (taken from the free list or appended), and
//     information block 0 and 1 are written only after every cluster they lead to.
// Invariants in memory:
//  4. Each cluster's count in the cluster map is the number of current chains, merge
//     outputs and snapshot entries that name it.
//  5. The changed flag is set whenever the chains or the pool differ from the committed
//     state, apart from the progress of unfinished merges (which only adds clusters that
//     nothing committed names, and is recorded by the next commit that follows a change).
#include "index/MergeIndex.h"

#include <cstring>

#include "foundation/Assert.h"
#include "index/Chain.h"
#include "index/Cluster.h"
#include "index/Directory.h"
#include "index/DirectoryWriter.h"
#include "index/MergePool.h"

namespace dovrel::index {

MergeIndex::MergeIndex(uint32_t clusterLength, uint32_t mergeMultiplier)
    : clusterLength_(clusterLength),
      mergeMultiplier_(mergeMultiplier),
      map_(file_),
      scheduler_(data_, map_, mergeMultiplier),
      search_(data_) {}

MergeIndex::~MergeIndex() = default;

void MergeIndex::build(ErrorCode& error) {
  buffer_ = Cluster::create(clusterLength_, error);
  if (buffer_ != nullptr) pool_ = MergePool::create(clusterLength_, error);
}

std::unique_ptr<MergeIndex> MergeIndex::create(const std::string& path, uint32_t clusterLength,
                                               uint32_t mergeMultiplier, ErrorCode& error) {
  DOVREL_ASSERT(2 <= mergeMultiplier && mergeMultiplier <= 100);
  DOVREL_ASSERT(isValidClusterLength(clusterLength));
  std::unique_ptr<MergeIndex> index;
  if (!guardAllocation(error,
                       [&] { index.reset(new MergeIndex(clusterLength, mergeMultiplier)); })) {
    return nullptr;
  }
  ErrorCode failure = EM_NO_ERRORS;
  index->file_.create(path, clusterLength, failure);
  if (failure == EM_NO_ERRORS) index->build(failure);
  if (failure == EM_NO_ERRORS) {
    // A new file holds a valid information area and an empty directory from the start.
    index->changed_ = true;
    index->state_ = STATE_NEUTRAL;
    index->commitPrepare(failure);
    if (failure == EM_NO_ERRORS) index->commitFinish(failure);
  }
  if (failure != EM_NO_ERRORS) {
    error = failure;
    return nullptr;
  }
  return index;
}

std::unique_ptr<MergeIndex> MergeIndex::open(const std::string& path, OpenMode mode,
                                             ErrorCode& error) {
  std::unique_ptr<MergeIndex> index;
  // The cluster length and the multiplier are known once the file has been read.
  if (!guardAllocation(error, [&] { index.reset(new MergeIndex(0, MIN_MERGE_MULTIPLIER)); })) {
    return nullptr;
  }
  ErrorCode failure = EM_NO_ERRORS;
  index->clusterLength_ = index->file_.open(path, failure);
  if (failure == EM_NO_ERRORS) index->build(failure);
  if (failure == EM_NO_ERRORS) index->restore(mode, failure);
  if (failure != EM_NO_ERRORS) {
    error = failure;
    return nullptr;
  }
  return index;
}

AlignedBuffer MergeIndex::readInfoPair(OpenMode mode, InfoBlock* info, ErrorCode& error) {
  const uint32_t first = mode == OpenMode::openNormal ? 0 : 2;
  AlignedBuffer a = AlignedBuffer::allocate(INDEX_BUFFER_SIZE, error);
  AlignedBuffer b = AlignedBuffer::allocate(INDEX_BUFFER_SIZE, error);
  if (!a || !b) return AlignedBuffer();
  file_.readInfo(a.data(), first, error);
  if (error == EM_NO_ERRORS) file_.readInfo(b.data(), first + 1, error);
  if (error != EM_NO_ERRORS) return AlignedBuffer();
  // A pair that differs was torn by a crash while it was written.
  *info = decodeInfoBlock(a.data());
  if (std::memcmp(a.data(), b.data(), INDEX_BUFFER_SIZE) != 0 ||
      info->clusterLength != file_.clusterLength() ||
      info->mergeMultiplier < MIN_MERGE_MULTIPLIER ||
      info->mergeMultiplier > MAX_MERGE_MULTIPLIER ||
      info->directoryCluster >= file_.clusterNum()) {
    error = EM_BAD_DATA;
    return AlignedBuffer();
  }
  return a;
}

std::unique_ptr<Chain> MergeIndex::chainFromDirectory(const DirectoryChain& entries,
                                                      ErrorCode& error) {
  std::unique_ptr<Chain> chain;
  if (!guardAllocation(error, [&] {
        chain = std::make_unique<Chain>(&file_, clusterLength_,
                                        static_cast<uint32_t>(entries.clusters.size()));
      })) {
    return nullptr;
  }
  for (const DirectoryClusterEntry& entry : entries.clusters) {
    map_.claim(entry.number, error);
    if (error == EM_NO_ERRORS) chain->append(entry.number, entry.start(), entry.fin(), error);
    if (error != EM_NO_ERRORS) return nullptr;
  }
  return chain;
}

void MergeIndex::restore(OpenMode mode, ErrorCode& error) {
  InfoBlock info;
  AlignedBuffer block = readInfoPair(mode, &info, error);
  if (error != EM_NO_ERRORS) return;
  mergeMultiplier_ = info.mergeMultiplier;
  scheduler_.setMergeMultiplier(mergeMultiplier_);

  map_.resetForOpen(error);
  if (error != EM_NO_ERRORS) return;
  Directory directory;
  readDirectory(file_, *buffer_, info.directoryCluster, &directory, error);
  if (error != EM_NO_ERRORS) return;
  // Directory clusters first, so that a chain naming one is caught as a double reference.
  for (uint32_t number : directory.directoryClusters) {
    map_.claimDirectory(number, error);
    if (error != EM_NO_ERRORS) return;
  }
  if (!guardAllocation(error, [&] { data_.reserve(directory.chains.size()); })) return;
  for (const DirectoryChain& entries : directory.chains) {
    std::unique_ptr<Chain> chain = chainFromDirectory(entries, error);
    if (chain == nullptr) return;
    data_.push_back(std::move(chain));
  }
  for (const DirectoryMerge& merge : directory.merges) {
    std::unique_ptr<Chain> output = chainFromDirectory(merge.output, error);
    if (output == nullptr) return;
    scheduler_.adopt(merge.numbers, std::move(output), error);
    if (error != EM_NO_ERRORS) return;
  }
  if (!guardAllocation(error, [&] { snapshot_.reserve(committedClusterCount()); })) return;
  replaceSnapshot();
  map_.buildFreeList(error);
  if (error != EM_NO_ERRORS) return;
  // The pair just trusted goes over the other one only now that it proved readable, so a
  // refused open leaves the file as it was. It is durable before anything may reuse the
  // clusters that only the other pair named.
  const uint32_t other = mode == OpenMode::openNormal ? 2 : 0;
  file_.writeInfo(block.data(), other, error);
  if (error == EM_NO_ERRORS) file_.writeInfo(block.data(), other + 1, error);
  if (error == EM_NO_ERRORS) file_.sync(error);
  if (error != EM_NO_ERRORS) return;
  changed_ = false;
  state_ = STATE_AFTER_COMMIT;
}

void MergeIndex::requireIdle() const {
  DOVREL_ASSERT_TEXT(state_ == STATE_NEUTRAL || state_ == STATE_AFTER_COMMIT,
                     "state == STATE_NEUTRAL || state == STATE_AFTER_COMMIT");
}

void MergeIndex::requireSearch() const {
  DOVREL_ASSERT_TEXT(state_ == STATE_IN_FORWARD_SEARCH || state_ == STATE_IN_BACKWARD_SEARCH,
                     "state == STATE_IN_FORWARD_SEARCH || state == STATE_IN_BACKWARD_SEARCH");
}

void MergeIndex::insert(Key key, uint32_t document, InsertMode mode, ErrorCode& error) {
  requireIdle();
  ++changeCount_;
  DOVREL_ASSERT_TEXT(key != nullptr && isRealKey(key), "key != null");
  if (document > MAX_DOCUMENT_NUMBER) {
    error = EM_DOC_TOO_LARGE;
    return;
  }
  state_ = STATE_NEUTRAL;
  changed_ = true;
  if (pool_->insert(key, recordValue(document, mode))) flushPoured(error);
}

void MergeIndex::flushPoured(ErrorCode& error) {
  DOVREL_ASSERT_TEXT(buffer_ != nullptr, "buffer != null");
  MergePool::fill(*buffer_);
  uint32_t number = map_.take(error);
  if (error != EM_NO_ERRORS) return;
  file_.writeCluster(*buffer_, number, error);
  std::unique_ptr<Chain> chain;
  if (error == EM_NO_ERRORS) {
    (void)guardAllocation(error, [&] {
      chain = std::make_unique<Chain>(&file_, clusterLength_, 1);
      data_.reserve(data_.size() + 1);
    });
  }
  if (error == EM_NO_ERRORS) chain->append(number, buffer_->firstKey(), buffer_->lastKey(), error);
  if (error != EM_NO_ERRORS) {
    map_.release(number);
    return;
  }
  data_.push_back(std::move(chain));
  scheduler_.run(scheduler_.budget(), *buffer_, changed_, error);
}

void MergeIndex::flushPool(ErrorCode& error) {
  if (pool_->pourOut()) flushPoured(error);
}

// --- Searches ---------------------------------------------------------------------------

bool MergeIndex::startSearch(SearchMode mode, ErrorCode& error) {
  requireIdle();
  state_ = STATE_IN_FORWARD_SEARCH;
  flushPool(error);
  if (error != EM_NO_ERRORS) return true;
  return search_.start(mode, error);
}

SearchCode MergeIndex::findKey(Key key, SearchMode mode, ErrorCode& error) {
  requireIdle();
  DOVREL_ASSERT_TEXT(key != nullptr && isRealKey(key), "key != null");
  state_ = STATE_IN_FORWARD_SEARCH;
  flushPool(error);
  if (error != EM_NO_ERRORS) return SEARCH_SMALLER;
  return search_.find(key, mode, error);
}

bool MergeIndex::nextKey(ErrorCode& error) {
  requireSearch();
  state_ = STATE_IN_FORWARD_SEARCH;
  return search_.next(error);
}

bool MergeIndex::prevKey(ErrorCode& error) {
  requireSearch();
  state_ = STATE_IN_BACKWARD_SEARCH;
  return search_.prev(error);
}

void MergeIndex::getKey(uint8_t* out) const {
  Key current = currentKey();
  std::memcpy(out, current, keySize(current));
}

Key MergeIndex::currentKey() const {
  requireSearch();
  Key current = search_.currentKey();
  DOVREL_ASSERT_TEXT(current != keyMin, "currentKey != keyMin");
  DOVREL_ASSERT_TEXT(current != keyMax, "currentKey != keyMax");
  return current;
}

void MergeIndex::getDocs(std::array<uint32_t, DOCS_BATCH>& out, uint32_t& count, ErrorCode& error) {
  requireSearch();
  count = search_.getDocs(out.data(), error);
}

void MergeIndex::collectDocs(std::vector<uint32_t>& out, ErrorCode& error) {
  requireSearch();
  search_.collectDocs(out, error);
}

void MergeIndex::endSearch() {
  requireSearch();
  search_.end();
  state_ = STATE_NEUTRAL;
}

bool MergeIndex::collectKeys(Key start, const std::function<KeyStep(Key)>& step, SearchMode mode,
                             std::vector<uint32_t>& out, ErrorCode& error) {
  requireIdle();
  DOVREL_ASSERT_TEXT(start == nullptr || isRealKey(start), "key != null");
  state_ = STATE_NEUTRAL;
  flushPool(error);
  if (error != EM_NO_ERRORS) return true;
  const bool done = search_.collectPerChain(start, step, mode, out, error);
  search_.end();
  return done;
}

OptimizeResult MergeIndex::optimize(ErrorCode& error) {
  requireIdle();
  state_ = STATE_NEUTRAL;
  flushPool(error);
  if (error != EM_NO_ERRORS) return OptimizeResult::MORE;
  if (data_.empty()) return OptimizeResult::DONE;
  return scheduler_.optimize(*buffer_, changed_, error);
}

// --- Commit -------------------------------------------------------------------------------

std::size_t MergeIndex::committedClusterCount() const {
  std::size_t count = 0;
  for (const auto& chain : data_) count += chain->chainLength();
  for (const auto& task : scheduler_.tasks()) count += task->output().chainLength();
  return count;
}

void MergeIndex::replaceSnapshot() {
  for (uint32_t number : snapshot_) map_.release(number);
  snapshot_.clear();  // the capacity was reserved before the commit wrote anything
  auto hold = [&](const Chain& chain) {
    for (uint32_t i = 0; i < chain.chainLength(); ++i) {
      map_.addReference(chain.clusterNumber(i));
      snapshot_.push_back(chain.clusterNumber(i));
    }
  };
  for (const auto& chain : data_) hold(*chain);
  // The merges' outputs too: a merge that completes after this commit turns its output
  // into a chain, which a later merge may release before the next commit.
  for (const auto& task : scheduler_.tasks()) hold(task->output());
}

void MergeIndex::writeDirectory(uint32_t first, ErrorCode& error) {
  DirectoryWriter writer(file_, *buffer_, first,
                         [this](ErrorCode& takeError) { return map_.takeDirectory(takeError); });
  for (const auto& chain : data_) writer.addChain(*chain, error);
  writer.endList(error);
  for (const auto& task : scheduler_.tasks()) {
    // A merge whose first step failed has no output yet; its sources are intact chains, so
    // the committed state simply does not know it.
    if (task->output().chainLength() == 0) continue;
    writer.addMerge(task->record(), error);
    writer.addChain(task->output(), error);
  }
  writer.endList(error);
  writer.finish(error);
}

void MergeIndex::commitPrepare(ErrorCode& error) {
  requireIdle();
  if (!changed_) {
    state_ = STATE_IN_COMMIT;
    return;
  }
  flushPool(error);
  if (error != EM_NO_ERRORS) return;
  // Everything that can fail for want of memory comes before the first write.
  if (!guardAllocation(error, [&] { snapshot_.reserve(committedClusterCount()); })) return;
  DOVREL_ASSERT_TEXT(!hbuf_, "hbuf == null");
  hbuf_ = AlignedBuffer::allocate(INDEX_BUFFER_SIZE, error);
  if (!hbuf_) return;

  map_.retireDirectory();
  uint32_t first = map_.takeDirectory(error);
  if (error == EM_NO_ERRORS) writeDirectory(first, error);
  if (error != EM_NO_ERRORS) {
    hbuf_ = AlignedBuffer();
    return;
  }
  encodeInfoBlock(InfoBlock{clusterLength_, mergeMultiplier_, first}, hbuf_.data());
  file_.writeInfo(hbuf_.data(), 0, error);
  if (error == EM_NO_ERRORS) file_.writeInfo(hbuf_.data(), 1, error);
  // One barrier makes the new clusters, the directory and blocks 0 and 1 durable. Until it
  // returns, the caller's commit marker keeps blocks 2 and 3 authoritative.
  if (error == EM_NO_ERRORS) file_.sync(error);
  if (error != EM_NO_ERRORS) {
    hbuf_ = AlignedBuffer();
    return;
  }
  state_ = STATE_IN_COMMIT;
}

void MergeIndex::commitFinish(ErrorCode& error) {
  DOVREL_ASSERT_TEXT(state_ == STATE_IN_COMMIT, "state == STATE_IN_COMMIT");
  if (!changed_) {
    state_ = STATE_AFTER_COMMIT;
    return;
  }
  DOVREL_ASSERT(hbuf_);
  file_.writeInfo(hbuf_.data(), 2, error);
  if (error == EM_NO_ERRORS) file_.writeInfo(hbuf_.data(), 3, error);
  if (error == EM_NO_ERRORS) file_.sync(error);
  if (error != EM_NO_ERRORS) return;
  hbuf_ = AlignedBuffer();
  // Only now may the previous state's clusters be reused (invariant 2).
  map_.freePreviousDirectory();
  replaceSnapshot();
  changed_ = false;
  state_ = STATE_AFTER_COMMIT;
}

void MergeIndex::destroy() {
  DOVREL_ASSERT_TEXT(state_ == STATE_AFTER_COMMIT, "state == STATE_AFTER_COMMIT");
  search_.end();
  scheduler_.clear();
  data_.clear();
  snapshot_.clear();
  pool_.reset();
  buffer_.reset();
  file_.close();
  state_ = STATE_CLOSED;
}

}  // namespace dovrel::index
