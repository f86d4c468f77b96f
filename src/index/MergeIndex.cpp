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

ErrorCode MergeIndex::build() {
  if (ErrorCode error = Cluster::create(clusterLength_, buffer_)) return error;
  return MergePool::create(clusterLength_, pool_);
}

ErrorCode MergeIndex::create(const std::string& path, uint32_t clusterLength,
                             uint32_t mergeMultiplier, std::unique_ptr<MergeIndex>& index) {
  DOVREL_ASSERT(2 <= mergeMultiplier && mergeMultiplier <= 100);
  DOVREL_ASSERT(isValidClusterLength(clusterLength));
  std::unique_ptr<MergeIndex> made;
  ErrorCode error =
      guardAllocation([&] { made.reset(new MergeIndex(clusterLength, mergeMultiplier)); });
  if (error == EM_NO_ERRORS) error = made->file_.create(path, clusterLength);
  if (error == EM_NO_ERRORS) error = made->build();
  if (error == EM_NO_ERRORS) {
    // A new file holds a valid information area and an empty directory from the start.
    made->changed_ = true;
    made->state_ = STATE_NEUTRAL;
    error = made->commitPrepare();
    if (error == EM_NO_ERRORS) error = made->commitFinish();
  }
  if (error != EM_NO_ERRORS) {
    index.reset();
    return error;
  }
  index = std::move(made);
  return EM_NO_ERRORS;
}

ErrorCode MergeIndex::open(const std::string& path, OpenMode mode,
                           std::unique_ptr<MergeIndex>& index) {
  std::unique_ptr<MergeIndex> made;
  // The cluster length and the multiplier are known once the file has been read.
  ErrorCode error = guardAllocation([&] { made.reset(new MergeIndex(0, MIN_MERGE_MULTIPLIER)); });
  if (error == EM_NO_ERRORS) error = made->file_.open(path);
  if (error == EM_NO_ERRORS) {
    made->clusterLength_ = made->file_.clusterLength();
    error = made->build();
  }
  if (error == EM_NO_ERRORS) error = made->restore(mode);
  if (error != EM_NO_ERRORS) {
    index.reset();
    return error;
  }
  index = std::move(made);
  return EM_NO_ERRORS;
}

ErrorCode MergeIndex::readInfoPair(OpenMode mode, InfoBlock* info, AlignedBuffer& block) {
  const uint32_t first = mode == OpenMode::openNormal ? 0 : 2;
  AlignedBuffer a;
  AlignedBuffer b;
  ErrorCode error = AlignedBuffer::allocate(INDEX_BUFFER_SIZE, a);
  const ErrorCode second = AlignedBuffer::allocate(INDEX_BUFFER_SIZE, b);
  if (error == EM_NO_ERRORS) error = second;

  if (error == EM_NO_ERRORS) error = file_.readInfo(a.data(), first);
  if (error == EM_NO_ERRORS) error = file_.readInfo(b.data(), first + 1);
  if (error != EM_NO_ERRORS) return error;
  // A pair that differs was torn by a crash while it was written.
  *info = decodeInfoBlock(a.data());
  if (std::memcmp(a.data(), b.data(), INDEX_BUFFER_SIZE) != 0 ||
      info->clusterLength != file_.clusterLength() ||
      info->mergeMultiplier < MIN_MERGE_MULTIPLIER ||
      info->mergeMultiplier > MAX_MERGE_MULTIPLIER ||
      info->directoryCluster >= file_.clusterNum()) {
    return EM_BAD_DATA;
  }
  block = std::move(a);
  return EM_NO_ERRORS;
}

ErrorCode MergeIndex::chainFromDirectory(const DirectoryChain& entries,
                                         std::unique_ptr<Chain>& chain) {
  std::unique_ptr<Chain> made;
  if (ErrorCode error = guardAllocation([&] {
        made = std::make_unique<Chain>(&file_, clusterLength_,
                                       static_cast<uint32_t>(entries.clusters.size()));
      })) {
    return error;
  }
  for (const DirectoryClusterEntry& entry : entries.clusters) {
    if (ErrorCode error = map_.claim(entry.number)) return error;
    if (ErrorCode error = made->append(entry.number, entry.start(), entry.fin())) return error;
  }
  chain = std::move(made);
  return EM_NO_ERRORS;
}

ErrorCode MergeIndex::restore(OpenMode mode) {
  InfoBlock info;
  AlignedBuffer block;
  if (ErrorCode error = readInfoPair(mode, &info, block)) return error;
  mergeMultiplier_ = info.mergeMultiplier;
  scheduler_.setMergeMultiplier(mergeMultiplier_);

  if (ErrorCode error = map_.resetForOpen()) return error;
  Directory directory;
  if (ErrorCode error = readDirectory(file_, *buffer_, info.directoryCluster, &directory)) {
    return error;
  }
  // Directory clusters first, so that a chain naming one is caught as a double reference.
  for (uint32_t number : directory.directoryClusters) {
    if (ErrorCode error = map_.claimDirectory(number)) return error;
  }
  if (ErrorCode error = guardAllocation([&] { data_.reserve(directory.chains.size()); })) {
    return error;
  }
  for (const DirectoryChain& entries : directory.chains) {
    std::unique_ptr<Chain> chain;
    if (ErrorCode error = chainFromDirectory(entries, chain)) return error;
    data_.push_back(std::move(chain));
  }
  for (const DirectoryMerge& merge : directory.merges) {
    std::unique_ptr<Chain> output;
    if (ErrorCode error = chainFromDirectory(merge.output, output)) return error;
    if (ErrorCode error = scheduler_.adopt(merge.numbers, std::move(output))) return error;
  }
  if (ErrorCode error = guardAllocation([&] { snapshot_.reserve(committedClusterCount()); })) {
    return error;
  }
  replaceSnapshot();
  if (ErrorCode error = map_.buildFreeList()) return error;
  // The pair just trusted goes over the other one only now that it proved readable, so a
  // refused open leaves the file as it was. It is durable before anything may reuse the
  // clusters that only the other pair named.
  const uint32_t other = mode == OpenMode::openNormal ? 2 : 0;
  ErrorCode error = file_.writeInfo(block.data(), other);
  if (error == EM_NO_ERRORS) error = file_.writeInfo(block.data(), other + 1);
  if (error == EM_NO_ERRORS) error = file_.sync();
  if (error != EM_NO_ERRORS) return error;
  changed_ = false;
  state_ = STATE_AFTER_COMMIT;
  return EM_NO_ERRORS;
}

void MergeIndex::requireIdle() const {
  DOVREL_ASSERT_TEXT(state_ == STATE_NEUTRAL || state_ == STATE_AFTER_COMMIT,
                     "state == STATE_NEUTRAL || state == STATE_AFTER_COMMIT");
}

void MergeIndex::requireSearch() const {
  DOVREL_ASSERT_TEXT(state_ == STATE_IN_FORWARD_SEARCH || state_ == STATE_IN_BACKWARD_SEARCH,
                     "state == STATE_IN_FORWARD_SEARCH || state == STATE_IN_BACKWARD_SEARCH");
}

ErrorCode MergeIndex::insert(Key key, uint32_t document, InsertMode mode) {
  requireIdle();
  ++changeCount_;
  DOVREL_ASSERT_TEXT(key != nullptr && isRealKey(key), "key != null");
  if (document > MAX_DOCUMENT_NUMBER) return EM_DOC_TOO_LARGE;
  state_ = STATE_NEUTRAL;
  changed_ = true;
  if (pool_->insert(key, recordValue(document, mode))) return flushPoured();
  return EM_NO_ERRORS;
}

ErrorCode MergeIndex::flushPoured() {
  DOVREL_ASSERT_TEXT(buffer_ != nullptr, "buffer != null");
  MergePool::fill(*buffer_);
  uint32_t number = 0;
  if (ErrorCode error = map_.take(number)) return error;
  ErrorCode error = file_.writeCluster(*buffer_, number);
  std::unique_ptr<Chain> chain;
  if (error == EM_NO_ERRORS) {
    error = guardAllocation([&] {
      chain = std::make_unique<Chain>(&file_, clusterLength_, 1);
      data_.reserve(data_.size() + 1);
    });
  }
  if (error == EM_NO_ERRORS) error = chain->append(number, buffer_->firstKey(), buffer_->lastKey());
  if (error != EM_NO_ERRORS) {
    map_.release(number);
    return error;
  }
  data_.push_back(std::move(chain));
  uint32_t budget = scheduler_.budget();
  return scheduler_.run(budget, *buffer_, changed_);
}

ErrorCode MergeIndex::flushPool() { return pool_->pourOut() ? flushPoured() : EM_NO_ERRORS; }

// --- Searches ---------------------------------------------------------------------------

ErrorCode MergeIndex::startSearch(SearchMode mode, bool& empty) {
  requireIdle();
  state_ = STATE_IN_FORWARD_SEARCH;
  if (ErrorCode error = flushPool()) return error;
  return search_.start(mode, empty);
}

ErrorCode MergeIndex::findKey(Key key, SearchMode mode, SearchCode& code) {
  requireIdle();
  DOVREL_ASSERT_TEXT(key != nullptr && isRealKey(key), "key != null");
  state_ = STATE_IN_FORWARD_SEARCH;
  if (ErrorCode error = flushPool()) return error;
  return search_.find(key, mode, code);
}

ErrorCode MergeIndex::nextKey(bool& atEnd) {
  requireSearch();
  state_ = STATE_IN_FORWARD_SEARCH;
  return search_.next(atEnd);
}

ErrorCode MergeIndex::prevKey(bool& atEnd) {
  requireSearch();
  state_ = STATE_IN_BACKWARD_SEARCH;
  return search_.prev(atEnd);
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

ErrorCode MergeIndex::getDocs(std::array<uint32_t, DOCS_BATCH>& out, uint32_t& count) {
  requireSearch();
  return search_.getDocs(out.data(), count);
}

ErrorCode MergeIndex::collectDocs(std::vector<uint32_t>& out) {
  requireSearch();
  return search_.collectDocs(out);
}

void MergeIndex::endSearch() {
  requireSearch();
  search_.end();
  state_ = STATE_NEUTRAL;
}

ErrorCode MergeIndex::collectKeys(Key start, const std::function<KeyStep(Key)>& step,
                                  SearchMode mode, std::vector<uint32_t>& out, bool& done) {
  requireIdle();
  DOVREL_ASSERT_TEXT(start == nullptr || isRealKey(start), "key != null");
  state_ = STATE_NEUTRAL;
  done = true;
  if (ErrorCode error = flushPool()) return error;
  const ErrorCode error = search_.collectPerChain(start, step, mode, out, done);
  search_.end();
  return error;
}

ErrorCode MergeIndex::optimize(OptimizeResult& result) {
  requireIdle();
  state_ = STATE_NEUTRAL;
  result = OptimizeResult::MORE;
  if (ErrorCode error = flushPool()) return error;
  if (data_.empty()) {
    result = OptimizeResult::DONE;
    return EM_NO_ERRORS;
  }
  return scheduler_.optimize(*buffer_, changed_, result);
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

ErrorCode MergeIndex::writeDirectory(uint32_t first) {
  DirectoryWriter writer(file_, *buffer_, first,
                         [this](uint32_t& number) { return map_.takeDirectory(number); });
  for (const auto& chain : data_) {
    if (ErrorCode error = writer.addChain(*chain)) return error;
  }
  writer.endList();
  for (const auto& task : scheduler_.tasks()) {
    // A merge whose first step failed has no output yet; its sources are intact chains, so
    // the committed state simply does not know it.
    if (task->output().chainLength() == 0) continue;
    writer.addMerge(task->record());
    if (ErrorCode error = writer.addChain(task->output())) return error;
  }
  writer.endList();
  return writer.finish();
}

ErrorCode MergeIndex::commitPrepare() {
  requireIdle();
  if (!changed_) {
    state_ = STATE_IN_COMMIT;
    return EM_NO_ERRORS;
  }
  if (ErrorCode error = flushPool()) return error;
  // Everything that can fail for want of memory comes before the first write.
  if (ErrorCode error = guardAllocation([&] { snapshot_.reserve(committedClusterCount()); })) {
    return error;
  }
  DOVREL_ASSERT_TEXT(!hbuf_, "hbuf == null");
  if (ErrorCode error = AlignedBuffer::allocate(INDEX_BUFFER_SIZE, hbuf_)) return error;

  map_.retireDirectory();
  uint32_t first = 0;
  ErrorCode error = map_.takeDirectory(first);
  if (error == EM_NO_ERRORS) error = writeDirectory(first);
  if (error != EM_NO_ERRORS) {
    hbuf_ = AlignedBuffer();
    return error;
  }
  encodeInfoBlock(InfoBlock{clusterLength_, mergeMultiplier_, first}, hbuf_.data());
  error = file_.writeInfo(hbuf_.data(), 0);
  if (error == EM_NO_ERRORS) error = file_.writeInfo(hbuf_.data(), 1);
  // One barrier makes the new clusters, the directory and blocks 0 and 1 durable. Until it
  // returns, the caller's commit marker keeps blocks 2 and 3 authoritative.
  if (error == EM_NO_ERRORS) error = file_.sync();
  if (error != EM_NO_ERRORS) {
    hbuf_ = AlignedBuffer();
    return error;
  }
  state_ = STATE_IN_COMMIT;
  return EM_NO_ERRORS;
}

ErrorCode MergeIndex::commitFinish() {
  DOVREL_ASSERT_TEXT(state_ == STATE_IN_COMMIT, "state == STATE_IN_COMMIT");
  if (!changed_) {
    state_ = STATE_AFTER_COMMIT;
    return EM_NO_ERRORS;
  }
  DOVREL_ASSERT(hbuf_);
  ErrorCode error = file_.writeInfo(hbuf_.data(), 2);
  if (error == EM_NO_ERRORS) error = file_.writeInfo(hbuf_.data(), 3);
  if (error == EM_NO_ERRORS) error = file_.sync();
  if (error != EM_NO_ERRORS) return error;
  hbuf_ = AlignedBuffer();
  // Only now may the previous state's clusters be reused (invariant 2).
  map_.freePreviousDirectory();
  replaceSnapshot();
  changed_ = false;
  state_ = STATE_AFTER_COMMIT;
  return EM_NO_ERRORS;
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
