// A table index over its merge index: file life, document keys and the searches of the
// query language. Query thread only (or the start-up that loads the tables).
#include "keys/TableIndex.h"

#include <algorithm>
#include <array>
#include <functional>
#include <span>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"
#include "index/MergeIndex.h"
#include "keys/IndexKeyBuilder.h"
#include "keys/IndexKeyConverter.h"
#include "keys/KeyDocBuilder.h"
#include "keys/ListJoiner.h"

namespace dovrel::index {

namespace {

// The builder keeps its buffers between values; queries run on one thread at a time, but a
// builder per thread keeps that an assumption of nobody.
IndexKeyBuilder& keyBuilder() {
  thread_local IndexKeyBuilder builder;
  return builder;
}

void check(ErrorCode error) {
  if (error != EM_NO_ERRORS) throw DiskOrMemoryError("ошибка работы с индексом"_cp866);
}

// One scan of a merge index. The scan is ended when the object goes, so no search stays
// open after a search returns or throws.
class Scan {
 public:
  Scan(MergeIndex& idx, SearchMode mode) : idx_(idx), mode_(mode) {}
  ~Scan() {
    if (open_) idx_.endSearch();
  }
  Scan(const Scan&) = delete;
  Scan& operator=(const Scan&) = delete;

  // The scan stands on the first visible key; false when there is none.
  bool start() {
    open_ = true;  // the merge index is in its search state even when this fails
    bool empty = true;
    check(idx_.startSearch(mode_, empty));
    return !empty;
  }
  // Stands on the first visible key not smaller than `key`; its code against `key`.
  SearchCode find(Key key) {
    open_ = true;
    SearchCode code = SEARCH_SMALLER;
    check(idx_.findKey(key, mode_, code));
    return code;
  }
  // Moves on; false when the scan ran past the last (first) key.
  bool next() {
    bool end = true;
    check(idx_.nextKey(end));
    return !end;
  }
  bool prev() {
    bool end = true;
    check(idx_.prevKey(end));
    return !end;
  }
  // The key the scan stands on; valid until the scan moves.
  Key key() const { return idx_.currentKey(); }
  // Hands the documents of the current key to `consume` in batches.
  template <class Consume>
  void forEachBatch(Consume&& consume) {
    std::array<uint32_t, DOCS_BATCH> batch;
    uint32_t count = 0;
    do {
      check(idx_.getDocs(batch, count));
      consume(std::span<const uint32_t>(batch.data(), count));
    } while (count == DOCS_BATCH);
  }
  // Adds the documents of the current key to `joiner` as one run.
  void collect(ListJoiner& joiner) {
    std::vector<uint32_t>& gathered = joiner.gathered();
    const std::size_t start = gathered.size();
    check(idx_.collectDocs(gathered));
    joiner.endRun(start);
  }

 private:
  MergeIndex& idx_;
  SearchMode mode_;
  bool open_ = false;
};

// Adds to `joiner` the documents of the keys from `start` (the first key when null) that
// `step` takes, without a key scan where the index allows; false when it does not, with
// `joiner` unchanged.
bool collectKeys(MergeIndex& idx, Key start, SearchMode mode, ListJoiner& joiner,
                 const std::function<KeyStep(Key)>& step) {
  std::vector<uint32_t>& gathered = joiner.gathered();
  const std::size_t before = gathered.size();
  bool done = true;
  check(idx.collectKeys(start, step, mode, gathered, done));
  if (done) joiner.endRuns(before);
  return done;
}

bool beginsWith(Key key, Key prefix) {
  const SearchCode code = keySearchCompare(key, prefix);
  return code == SEARCH_EQUAL || code == SEARCH_EXTENDS;
}

}  // namespace

TableIndex::TableIndex(IndexDeclaration declaration, std::string dataDirectory)
    : declaration_(std::move(declaration)), path_(declaration_.filePath(dataDirectory)) {}

std::unique_ptr<TableIndex> TableIndex::read(Scanner& scanner, std::string_view fieldFullName,
                                             FieldType fieldType, std::string dataDirectory) {
  IndexDeclaration declaration = IndexDeclaration::read(scanner, fieldFullName, fieldType);
  return std::unique_ptr<TableIndex>(
      new TableIndex(std::move(declaration), std::move(dataDirectory)));
}

TableIndex::~TableIndex() { close(); }

void TableIndex::write(TextBuffer& out, std::string_view indent) const {
  declaration_.write(out, indent);
}

MergeIndex& TableIndex::requireOpen() {
  DOVREL_ASSERT_TEXT(idx_ != nullptr, "idx != NULL");
  return *idx_;
}

// --- File life ------------------------------------------------------------------------

void TableIndex::create() {
  DOVREL_ASSERT_TEXT(idx_ == nullptr, "idx == NULL");
  if (MergeIndex::create(path_, spec().clusterLength(), spec().mergeMultiplier(), idx_) !=
      EM_NO_ERRORS) {
    throw DiskOrMemoryError(std::string("Не удалось создать файл "_cp866) + path_);
  }
}

void TableIndex::open(OpenMode mode) {
  DOVREL_ASSERT_TEXT(idx_ == nullptr, "idx == NULL");
  if (MergeIndex::open(path_, mode, idx_) != EM_NO_ERRORS) {
    throw DiskOrMemoryError(std::string("Не удалось открыть файл индекса "_cp866) + path_);
  }
}

void TableIndex::commitPrepare() { check(requireOpen().commitPrepare()); }

void TableIndex::commitFinish() { check(requireOpen().commitFinish()); }

void TableIndex::close() {
  if (idx_ == nullptr) return;
  // An orderly close only for a committed index; any other state is dropped as it stands,
  // which leaves the file at its last commit.
  if (idx_->state() == STATE_AFTER_COMMIT) idx_->destroy();
  idx_.reset();
  sortOrders_ = {};
}

// --- Documents ----------------------------------------------------------------------------

void TableIndex::addDocument(uint32_t document, TextView value, InsertMode mode) {
  MergeIndex& idx = requireOpen();
  keyBuilder().forEachDocumentKey(spec(), fieldType(), value,
                                  [&](Key key) { check(idx.insert(key, document, mode)); });
}

// --- Searches -----------------------------------------------------------------------------

OrderedListPtr TableIndex::equal(TextView value, SearchMode mode) {
  MergeIndex& idx = requireOpen();
  KeyBuffer query;
  IndexKeyBuilder::queryKey(spec(), fieldType(), value, fullName(), query);
  ListJoiner joiner;
  Scan scan(idx, mode);
  if (scan.find(query.data()) == SEARCH_EQUAL) scan.collect(joiner);
  return joiner.take();
}

OrderedListPtr TableIndex::prefix(TextView value, SearchMode mode) {
  spec().checkOperation(IndexOperation::PREFIX, fieldType());
  // Indexes that hold every prefix (or substring) of a word as a key look the value up.
  if (spec().prefixSearch() == PrefixSearch::EQUAL_KEY) return equal(value, mode);
  MergeIndex& idx = requireOpen();
  KeyBuffer query;
  IndexKeyBuilder::queryKey(spec(), fieldType(), value, fullName(), query);
  ListJoiner joiner;
  const Key prefix = query.data();
  if (collectKeys(idx, prefix, mode, joiner, [prefix](Key key) {
        return beginsWith(key, prefix) ? KeyStep::TAKE : KeyStep::STOP;
      })) {
    return joiner.take();
  }
  Scan scan(idx, mode);
  bool onKey = scan.find(query.data()) != SEARCH_SMALLER;
  while (onKey && beginsWith(scan.key(), query.data())) {
    scan.collect(joiner);
    onKey = scan.next();
  }
  return joiner.take();
}

OrderedListPtr TableIndex::less(TextView value, SearchMode mode) {
  spec().checkOperation(IndexOperation::LESS, fieldType());
  return compare(Comparison::LESS, value, mode);
}

OrderedListPtr TableIndex::lessOrEqual(TextView value, SearchMode mode) {
  spec().checkOperation(IndexOperation::LESS_OR_EQUAL, fieldType());
  return compare(Comparison::LESS_OR_EQUAL, value, mode);
}

OrderedListPtr TableIndex::greater(TextView value, SearchMode mode) {
  spec().checkOperation(IndexOperation::GREATER, fieldType());
  return compare(Comparison::GREATER, value, mode);
}

OrderedListPtr TableIndex::greaterOrEqual(TextView value, SearchMode mode) {
  spec().checkOperation(IndexOperation::GREATER_OR_EQUAL, fieldType());
  return compare(Comparison::GREATER_OR_EQUAL, value, mode);
}

OrderedListPtr TableIndex::notEqual(TextView value, SearchMode mode) {
  spec().checkOperation(IndexOperation::NOT_EQUAL, fieldType());
  return compare(Comparison::NOT_EQUAL, value, mode);
}

OrderedListPtr TableIndex::compare(Comparison comparison, TextView value, SearchMode mode) {
  MergeIndex& idx = requireOpen();
  KeyBuffer query;
  IndexKeyBuilder::queryKey(spec(), fieldType(), value, fullName(), query);
  const Key target = query.data();
  // A comparison that every key meets gives the documents with a key, when they are known.
  if (const SortOrder* order = currentSortOrder(mode)) {
    const bool every =
        order->empty() ||
        (comparison == Comparison::LESS && keyCompare(order->lastKey(), target) < 0) ||
        (comparison == Comparison::LESS_OR_EQUAL && keyCompare(order->lastKey(), target) <= 0) ||
        (comparison == Comparison::GREATER && keyCompare(order->firstKey(), target) > 0) ||
        (comparison == Comparison::GREATER_OR_EQUAL &&
         keyCompare(order->firstKey(), target) >= 0) ||
        (comparison == Comparison::NOT_EQUAL &&
         (keyCompare(order->firstKey(), target) > 0 || keyCompare(order->lastKey(), target) < 0));
    if (every) return order->keyed();
  }
  ListJoiner joiner;
  // Walking the keys upwards: greater keys begin at the query, the others at the first key.
  const bool upwards =
      comparison == Comparison::GREATER || comparison == Comparison::GREATER_OR_EQUAL;
  const auto step = [comparison, target](Key key) {
    const int order = keyCompare(key, target);
    switch (comparison) {
      case Comparison::LESS:
        return order < 0 ? KeyStep::TAKE : KeyStep::STOP;
      case Comparison::LESS_OR_EQUAL:
        return order <= 0 ? KeyStep::TAKE : KeyStep::STOP;
      case Comparison::GREATER:
        return order > 0 ? KeyStep::TAKE : KeyStep::SKIP;
      case Comparison::GREATER_OR_EQUAL:
        return KeyStep::TAKE;
      case Comparison::NOT_EQUAL:
        return order != 0 ? KeyStep::TAKE : KeyStep::SKIP;
    }
    return KeyStep::STOP;
  };
  if (collectKeys(idx, upwards ? target : nullptr, mode, joiner, step)) return joiner.take();
  Scan scan(idx, mode);
  if (comparison == Comparison::NOT_EQUAL) {
    for (bool onKey = scan.start(); onKey; onKey = scan.next()) {
      if (!keyEqual(scan.key(), query.data())) scan.collect(joiner);
    }
    return joiner.take();
  }
  const SearchCode code = scan.find(query.data());
  if (comparison == Comparison::LESS || comparison == Comparison::LESS_OR_EQUAL) {
    // Backwards from the found key; when no key is as great as the query, prevKey starts
    // at the last key.
    if (comparison == Comparison::LESS_OR_EQUAL && code == SEARCH_EQUAL) scan.collect(joiner);
    while (scan.prev()) scan.collect(joiner);
    return joiner.take();
  }
  if (code == SEARCH_SMALLER) return joiner.take();
  bool onKey = true;
  if (comparison == Comparison::GREATER && code == SEARCH_EQUAL) onKey = scan.next();
  for (; onKey; onKey = scan.next()) scan.collect(joiner);
  return joiner.take();
}

OrderedListPtr TableIndex::range(TextView from, TextView to, SearchMode mode) {
  spec().checkOperation(IndexOperation::RANGE, fieldType());
  MergeIndex& idx = requireOpen();
  KeyBuffer low;
  KeyBuffer high;
  IndexKeyBuilder::queryKey(spec(), fieldType(), from, fullName(), low);
  IndexKeyBuilder::queryKey(spec(), fieldType(), to, fullName(), high);
  // A range over every key is the documents with a key, when they are known.
  if (const SortOrder* order = currentSortOrder(mode)) {
    if (order->empty() || (keyCompare(low.data(), order->firstKey()) <= 0 &&
                           keyCompare(high.data(), order->lastKey()) >= 0)) {
      return order->keyed();
    }
  }
  ListJoiner joiner;
  const Key top = high.data();
  if (collectKeys(idx, low.data(), mode, joiner, [top](Key key) {
        return keyCompare(key, top) <= 0 ? KeyStep::TAKE : KeyStep::STOP;
      })) {
    return joiner.take();
  }
  Scan scan(idx, mode);
  bool onKey = scan.find(low.data()) != SEARCH_SMALLER;
  while (onKey && keyCompare(scan.key(), high.data()) <= 0) {
    scan.collect(joiner);
    onKey = scan.next();
  }
  return joiner.take();
}

// --- Keys ---------------------------------------------------------------------------------

uint64_t TableIndex::countKeys(SearchMode mode) {
  Scan scan(requireOpen(), mode);
  uint64_t count = 0;
  for (bool onKey = scan.start(); onKey; onKey = scan.next()) ++count;
  return count;
}

namespace {

void refuseListingLength(uint32_t length) {
  if (length == 0) throw SemanticError("после length допустимо только число больше 0"_cp866);
}

void appendKey(FieldType type, Key key, TextBuffer& out) {
  // Only a damaged index holds a typed key that does not decode.
  if (!IndexKeyConverter::appendListedKey(type, key, out)) check(EM_BAD_DATA);
}

}  // namespace

void TableIndex::listKeysFrom(TextView value, bool reverse, uint32_t length, SearchMode mode,
                              TextBuffer& out) {
  refuseListingLength(length);
  MergeIndex& idx = requireOpen();
  KeyBuffer query;
  IndexKeyBuilder::queryKey(spec(), fieldType(), value, fullName(), query);
  Scan scan(idx, mode);
  const SearchCode code = scan.find(query.data());
  bool onKey;
  if (reverse) {
    // The greatest key not greater than the query: the found key when it is equal, else
    // the one before it (the last key when none was as great).
    onKey = code == SEARCH_EQUAL ? true : scan.prev();
  } else {
    onKey = code != SEARCH_SMALLER;
  }
  for (uint32_t listed = 0; onKey && listed < length; ++listed) {
    appendKey(fieldType(), scan.key(), out);
    onKey = reverse ? scan.prev() : scan.next();
  }
}

void TableIndex::listKeysFromStart(uint32_t from, uint32_t length, SearchMode mode,
                                   TextBuffer& out) {
  if (from != 0) throw SemanticError("после from допустимо только число 0"_cp866);
  refuseListingLength(length);
  Scan scan(requireOpen(), mode);
  bool onKey = scan.start();
  for (uint32_t listed = 0; onKey && listed < length; ++listed) {
    appendKey(fieldType(), scan.key(), out);
    onKey = scan.next();
  }
}

NumPairList TableIndex::sortPairs(SearchMode mode) {
  Scan scan(requireOpen(), mode);
  KeyDocBuilder builder;
  uint32_t ordinal = 0;
  for (bool onKey = scan.start(); onKey; onKey = scan.next()) {
    ++ordinal;
    scan.forEachBatch(
        [&](std::span<const uint32_t> documents) { builder.addDocuments(ordinal, documents); });
  }
  return builder.build();
}

namespace {

std::size_t modeSlot(SearchMode mode) {
  return static_cast<std::size_t>(static_cast<int>(mode) + 1);
}

}  // namespace

const SortOrder* TableIndex::currentSortOrder(SearchMode mode) const {
  const std::size_t slot = modeSlot(mode);
  if (idx_ == nullptr || sortOrders_[slot] == nullptr) return nullptr;
  return sortOrderChanges_[slot] == idx_->changeCount() ? sortOrders_[slot].get() : nullptr;
}

std::shared_ptr<const SortOrder> TableIndex::sortOrder(SearchMode mode) {
  MergeIndex& idx = requireOpen();
  const std::size_t slot = modeSlot(mode);
  if (currentSortOrder(mode) != nullptr) return sortOrders_[slot];
  sortOrders_[slot].reset();  // one copy at a time
  auto order = std::make_shared<SortOrder>();
  {
    Scan scan(idx, mode);
    std::vector<uint32_t> documents;
    for (bool onKey = scan.start(); onKey; onKey = scan.next()) {
      documents.clear();
      check(idx.collectDocs(documents));
      order->addKey(scan.key(), documents);
    }
  }
  order->finish();
  sortOrders_[slot] = order;
  sortOrderChanges_[slot] = idx.changeCount();
  return order;
}

OptimizeResult TableIndex::optimize() {
  OptimizeResult result = OptimizeResult::MORE;
  check(requireOpen().optimize(result));
  return result;
}

}  // namespace dovrel::index
