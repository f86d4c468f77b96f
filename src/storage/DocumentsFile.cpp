// The documents file and its two-phase commit. Used by one table under the parser's
// semaphore; never throws (buffered-file failures become its own result codes here).
//
// States and the function behind each transition:
//   create, open                      -> state_data_unchanged
//   state_data_unchanged / _changed   -> state_data_changed         addDocument,
//                                                                   replaceDocument,
//                                                                   deleteDocument
//   state_data_unchanged              -> state_empty_commit_started  commitPrepare
//   state_data_changed                -> state_actual_commit_started commitPrepare
//   state_empty/actual_commit_started -> state_data_unchanged        commitFinish
//   any state, on an I/O failure or a CRC or header mismatch -> state_disk_error (final)
//
// Invariants:
//   1. Header pages 0 and 1 hold the newest prepared commit, pages 2 and 3 the newest
//      finished one; the two pairs differ only between commitPrepare and commitFinish, or
//      after a crash there. openNormal settles such a file on pages 0-1 (roll forward),
//      openAfterCommit on pages 2-3 (roll back).
//   2. A header page is written only after everything it refers to (records, branch
//      records, the table set) has been made durable by a sync.
//   3. Nothing that the commit of pages 0-1 or of pages 2-3 refers to is overwritten: a
//      commit writes its tables into the table set that the previous commit does not use,
//      and a changed branch goes to a place that the last commit does not use (appended, or
//      taken from the free list).
//   4. The free list holds only places that no branch of the last commit uses.
//   5. Records are appended at or after the committed currentOffset, and opening moves the
//      append point back to it, so records that no commit refers to are dropped.
//   6. A kept branch (the branch cache) is the branch as its record at the working place
//      holds it: only unchanged branches are kept, and a branch leaves the cache to become
//      the loaded one before it may change. Nothing rolls the working tables back in memory
//      (a rollback reopens the file), so a kept branch never goes stale.
#include "storage/DocumentsFile.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "foundation/Assert.h"
#include "foundation/Crc32.h"
#include "platform/Env.h"

namespace dovrel {

using namespace documents_format;

namespace {

// Stands in for the bytes of an empty record given without a buffer.
constexpr unsigned char NO_BYTES[1] = {0};

uint64_t placeOffset(uint32_t place) { return uint64_t{place} << PAGE_SHIFT; }

constexpr uint64_t BUDGET_UNSET = ~uint64_t{0};
constexpr uint64_t LEAST_DEFAULT_BUDGET = uint64_t{16} << 20;
std::atomic<uint64_t> branchBudget{BUDGET_UNSET};
std::atomic<uint64_t> branchBytesKept{0};

}  // namespace

void DocumentsFile::setBranchCacheBudget(uint64_t bytes) {
  branchBudget.store(bytes == BUDGET_UNSET ? bytes - 1 : bytes, std::memory_order_relaxed);
}

uint64_t DocumentsFile::branchCacheBudget() {
  uint64_t budget = branchBudget.load(std::memory_order_relaxed);
  if (budget == BUDGET_UNSET) {
    budget = std::max(LEAST_DEFAULT_BUDGET, platform::physicalMemoryBytes() / 32);
    uint64_t expected = BUDGET_UNSET;
    if (!branchBudget.compare_exchange_strong(expected, budget, std::memory_order_relaxed)) {
      budget = expected;
    }
  }
  return budget;
}

uint64_t DocumentsFile::branchCacheUsed() {
  return branchBytesKept.load(std::memory_order_relaxed);
}

DocumentsFileResult DocumentsFile::create(const std::string& path,
                                          std::shared_ptr<DocumentsFile>* file) {
  file->reset();
  std::shared_ptr<DocumentsFile> created;
  try {
    created.reset(new DocumentsFile());
  } catch (const std::bad_alloc&) {
    return DF_CANNOT_CREATE;
  }
  const DocumentsFileResult result = created->createFile(path);
  if (result == DF_DONE) *file = std::move(created);
  return result;
}

DocumentsFileResult DocumentsFile::open(const std::string& path, OpenMode mode,
                                        std::shared_ptr<DocumentsFile>* file) {
  file->reset();
  std::shared_ptr<DocumentsFile> opened;
  try {
    opened.reset(new DocumentsFile());
  } catch (const std::bad_alloc&) {
    return DF_IO_FAILURE;
  }
  const DocumentsFileResult result = opened->openFile(path, mode);
  if (result == DF_DONE) *file = std::move(opened);
  return result;
}

DocumentsFile::~DocumentsFile() {
  branchBytesKept.fetch_sub(keptBranches_.size() * DocumentsBranch::MEMORY_BYTES,
                            std::memory_order_relaxed);
}

DocumentsFileResult DocumentsFile::fail(DocumentsFileResult code) {
  state_ = state_disk_error;
  return code;
}

DocumentsFileResult DocumentsFile::createFile(const std::string& path) {
  try {
    tableSet_.assign(TABLES_IN_SET * TABLE_ENTRIES, 0);
    committedBranchesOffsets_.assign(BRANCHES_AMOUNT, 0);
    scratch_.assign(BRANCH_RECORD_SIZE, 0);
    if (BufferedFile::open(path, true, file_) != BF_DONE) return fail(DF_CANNOT_CREATE);

    uint64_t end = 0;
    for (uint32_t page = 0; page < HEADER_PAGES; ++page) {
      if (file_->append(end, scratch_.data(), PAGE_SIZE, end) != BF_DONE) {
        return fail(DF_CANNOT_CREATE);
      }
    }
    for (int copy = 0; copy < 2; ++copy) {
      if (file_->append(end, tableSet_.data(), TABLE_SET_BYTES, end) != BF_DONE) {
        return fail(DF_CANNOT_CREATE);
      }
    }

    staleTablePages_[0] = staleTablePages_[1] = 0;  // both sets hold the zero tables
    header_ = Header{};
    header_.currentOffset = end;
    header_.tablesCrc = crc32(tableSet_.data(), TABLE_SET_BYTES);
    encodeHeader(header_, scratch_.data());
    for (uint32_t page = 0; page < HEADER_PAGES; ++page) {
      if (file_->write(headerPageOffset(page), scratch_.data(), PAGE_SIZE) != BF_DONE) {
        return fail(DF_CANNOT_CREATE);
      }
    }
    if (file_->sync() != BF_DONE) return fail(DF_CANNOT_CREATE);
  } catch (const std::bad_alloc&) {
    return fail(DF_CANNOT_CREATE);
  }
  currentOffset_ = header_.currentOffset;
  DOVREL_ASSERT(currentOffset_ == DATA_START);
  state_ = state_data_unchanged;
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::openFile(const std::string& path, OpenMode mode) {
  try {
    tableSet_.assign(TABLES_IN_SET * TABLE_ENTRIES, 0);
    scratch_.assign(BRANCH_RECORD_SIZE, 0);
    if (BufferedFile::open(path, false, file_) != BF_DONE) return fail(DF_IO_FAILURE);

    // The four header pages fill the scratch space exactly.
    static_assert(HEADER_PAGES * PAGE_SIZE == BRANCH_RECORD_SIZE);
    if (file_->read(0, scratch_.data(), HEADER_PAGES * PAGE_SIZE) != BF_DONE) {
      return fail(DF_IO_FAILURE);
    }
    const unsigned char* pages[HEADER_PAGES];
    for (uint32_t i = 0; i < HEADER_PAGES; ++i) pages[i] = scratch_.data() + i * PAGE_SIZE;
    auto samePages = [&](uint32_t a, uint32_t b) {
      return std::memcmp(pages[a], pages[b], PAGE_SIZE) == 0;
    };

    // The pair that the mode trusts, and the pair that is repaired from it.
    const uint32_t source = mode == OpenMode::openNormal ? 0 : 2;
    const uint32_t target = mode == OpenMode::openNormal ? 2 : 0;
    if (!samePages(source, source + 1)) return fail(DF_CORRUPT);

    // Everything is checked before anything is repaired, so a file that cannot be opened is
    // left exactly as it was found.
    const Header header = decodeHeader(pages[source]);
    if (!headerIsPlausible(header)) return fail(DF_CORRUPT);
    if (file_->read(tableSetOffset(header.selector), tableSet_.data(), TABLE_SET_BYTES) !=
        BF_DONE) {
      return fail(DF_IO_FAILURE);
    }
    if (crc32(tableSet_.data(), TABLE_SET_BYTES) != header.tablesCrc) return fail(DF_CORRUPT);
    if (!tablesArePlausible(header)) return fail(DF_CORRUPT);

    for (uint32_t page = target; page < target + 2; ++page) {
      if (!samePages(source, page) &&
          (file_->write(headerPageOffset(page), pages[source], PAGE_SIZE) != BF_DONE ||
           file_->sync() != BF_DONE)) {
        return fail(DF_IO_FAILURE);
      }
    }

    header_ = header;
    currentOffset_ = header.currentOffset;
    documentCount_ = header.documentCount;
    deletedCount_ = header.deletedCount;
    freeCount_ = header.freeCount;
    selector_ = header.selector;
    // The selected set holds the tables just read; of the other nothing is known.
    staleTablePages_[selector_ == 0 ? 0 : 1] = 0;
    staleTablePages_[selector_ == 0 ? 1 : 0] = ALL_TABLE_PAGES;
    committedBranchesOffsets_.assign(branchesOffsets(), branchesOffsets() + BRANCHES_AMOUNT);
    if (file_->rewind(currentOffset_) != BF_DONE) return fail(DF_IO_FAILURE);
  } catch (const std::bad_alloc&) {
    return fail(DF_IO_FAILURE);
  }
  state_ = state_data_unchanged;
  return DF_DONE;
}

// A header that fits the file it came from. Its fields carry no CRC of their own, and a
// torn or foreign page must be refused rather than followed.
bool DocumentsFile::headerIsPlausible(const Header& header) const {
  return header.currentOffset >= DATA_START && header.currentOffset <= file_->logicalEnd() &&
         header.documentCount <= MAX_DOCUMENTS && header.deletedCount <= header.documentCount &&
         header.freeCount <= TABLE_ENTRIES;
}

// Every branch place that the tables name must lie in the data area, below the committed
// end: a later write through such a place must never land on a header or a table set.
bool DocumentsFile::tablesArePlausible(const Header& header) const {
  auto placeFits = [&](uint32_t place) {
    return placeOffset(place) >= DATA_START &&
           placeOffset(place) + BRANCH_RECORD_SIZE <= header.currentOffset;
  };
  const uint32_t* offsets = tableSet_.data() + BRANCH_OFFSETS_TABLE;
  for (uint32_t branch = 0; branch < BRANCHES_AMOUNT; ++branch) {
    if (offsets[branch] != 0 && !placeFits(offsets[branch])) return false;
  }
  const uint32_t* free = tableSet_.data() + FREE_LIST_TABLE;
  for (uint32_t i = 0; i < header.freeCount; ++i) {
    if (!placeFits(free[i])) return false;
  }
  return true;
}

DocumentsFileResult DocumentsFile::commitPrepare() {
  if (state_ == state_disk_error) return DF_DISK_ERROR_STATE;
  if (state_ == state_data_unchanged) {
    state_ = state_empty_commit_started;
    return DF_DONE;
  }
  DOVREL_ASSERT_TEXT(state_ == state_data_changed, "state == state_data_changed");
  if (currentBranchNumber_ != NO_BRANCH && isLocalTableChanged_ && saveBranch() != BF_DONE) {
    return fail(DF_IO_FAILURE);
  }

  // Places that the previous commit used and this one does not become reusable once this
  // commit is the one on disk (invariant 4).
  const uint32_t* offsets = branchesOffsets();
  for (uint32_t branch = 0; branch < BRANCHES_AMOUNT; ++branch) {
    const uint32_t committed = committedBranchesOffsets_[branch];
    if (committed != 0 && committed != offsets[branch]) {
      // Each branch frees at most one place per commit, and a place enters the file only
      // when the list is empty, so the list never outgrows its table in a sound file.
      if (freeCount_ == TABLE_ENTRIES) return fail(DF_CORRUPT);
      setTableEntry(FREE_LIST_TABLE + freeCount_++, committed);
    }
  }
  std::copy(offsets, offsets + BRANCHES_AMOUNT, committedBranchesOffsets_.begin());

  selector_ = selector_ == 0 ? 1 : 0;
  // Invariant 2: the records, branch records and tables reach the disk before the header
  // that refers to them.
  if (writeStaleTablePages(selector_) != BF_DONE || file_->sync() != BF_DONE) {
    return fail(DF_IO_FAILURE);
  }

  Header header;
  header.currentOffset = currentOffset_;
  header.documentCount = documentCount_;
  header.deletedCount = deletedCount_;
  header.freeCount = freeCount_;
  header.selector = selector_;
  header.tablesCrc = crc32(tableSet_.data(), TABLE_SET_BYTES);
  std::fill(scratch_.begin(), scratch_.begin() + PAGE_SIZE, 0);
  encodeHeader(header, scratch_.data());
  if (file_->write(headerPageOffset(0), scratch_.data(), PAGE_SIZE) != BF_DONE ||
      file_->write(headerPageOffset(1), scratch_.data(), PAGE_SIZE) != BF_DONE ||
      file_->sync() != BF_DONE) {
    return fail(DF_IO_FAILURE);
  }
  header_ = header;
  state_ = state_actual_commit_started;
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::commitFinish() {
  if (state_ == state_disk_error) return DF_DISK_ERROR_STATE;
  if (state_ == state_empty_commit_started) {
    state_ = state_data_unchanged;
    return DF_DONE;
  }
  DOVREL_ASSERT_TEXT(state_ == state_actual_commit_started, "state == state_actual_commit_started");
  if (file_->read(headerPageOffset(0), scratch_.data(), 2 * PAGE_SIZE) != BF_DONE) {
    return fail(DF_IO_FAILURE);
  }
  if (std::memcmp(scratch_.data(), scratch_.data() + PAGE_SIZE, PAGE_SIZE) != 0) {
    return fail(DF_CORRUPT);
  }
  if (file_->write(headerPageOffset(2), scratch_.data(), PAGE_SIZE) != BF_DONE ||
      file_->write(headerPageOffset(3), scratch_.data(), PAGE_SIZE) != BF_DONE ||
      file_->sync() != BF_DONE) {
    return fail(DF_IO_FAILURE);
  }
  state_ = state_data_unchanged;
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::getDocumentCount(uint32_t* count) const {
  if (state_ == state_disk_error) return DF_DISK_ERROR_STATE;
  *count = documentCount_;
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::getDeletedCount(uint32_t* count) const {
  if (state_ == state_disk_error) return DF_DISK_ERROR_STATE;
  *count = deletedCount_;
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::addDocument(const void* record, uint32_t length,
                                               uint32_t* number) {
  if (state_ == state_disk_error) return DF_DISK_ERROR_STATE;
  DOVREL_ASSERT_TEXT(state_ == state_data_unchanged || state_ == state_data_changed,
                     "state == state_data_unchanged || state == state_data_changed");
  DOVREL_ASSERT_TEXT(length == 0 || record != nullptr, "record_length == 0 || record != NULL");
  if (documentCount_ == MAX_DOCUMENTS) return DF_FILE_FULL;
  const uint32_t next = documentCount_;
  if (switchBranch(next >> LOCAL_ID_BITS) != BF_DONE) return fail(DF_IO_FAILURE);
  if (state_ == state_disk_error) return DF_CORRUPT;
  const uint32_t id = next & LOCAL_ID_MASK;
  // A number that was never handed out has no entry, unless the file lies.
  if (branch_.documentOffsets[id] != 0) return fail(DF_CORRUPT);
  if (appendRecord(id, record, length) != BF_DONE) return fail(DF_IO_FAILURE);
  ++documentCount_;
  *number = next;
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::replaceDocument(uint32_t number, const void* record,
                                                   uint32_t length) {
  DOVREL_ASSERT_TEXT(length == 0 || record != nullptr, "record_length == 0 || record != NULL");
  const DocumentsFileResult entered = enterDocument(number);
  if (entered != DF_DONE) return entered;
  const uint32_t id = number & LOCAL_ID_MASK;
  if (branch_.documentOffsets[id] == 0) return fail(DF_CORRUPT);
  if (appendRecord(id, record, length) != BF_DONE) return fail(DF_IO_FAILURE);
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::deleteDocument(uint32_t number) {
  const DocumentsFileResult entered = enterDocument(number);
  if (entered != DF_DONE) return entered;
  const uint32_t id = number & LOCAL_ID_MASK;
  if (branch_.documentDeleted[id] != 0) return DF_ALREADY_DELETED;
  branch_.documentDeleted[id] = 1;
  ++deletedCount_;
  isLocalTableChanged_ = true;
  state_ = state_data_changed;
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::isDeleted(uint32_t number, bool* deleted) {
  const DocumentsFileResult entered = enterDocument(number);
  if (entered != DF_DONE) return entered;
  *deleted = branch_.documentDeleted[number & LOCAL_ID_MASK] != 0;
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::getLength(uint32_t number, uint32_t* length) {
  const DocumentsFileResult entered = enterDocument(number);
  if (entered != DF_DONE) return entered;
  *length = branch_.lengths[number & LOCAL_ID_MASK];
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::readDocument(uint32_t number, void* buffer,
                                                uint32_t bufferLength) {
  const DocumentsFileResult entered = enterDocument(number);
  if (entered != DF_DONE) return entered;
  const uint32_t id = number & LOCAL_ID_MASK;
  const uint32_t length = branch_.lengths[id];
  DOVREL_ASSERT_TEXT(bufferLength >= length, "buffer_length >= record_length");
  if (length > 0 && file_->read(branch_.documentOffsets[id], buffer, length) != BF_DONE) {
    return fail(DF_IO_FAILURE);
  }
  const uint32_t crc = crc32(length == 0 ? NO_BYTES : buffer, length);
  if (crc != branch_.crcs[id]) return fail(DF_CORRUPT);
  return DF_DONE;
}

DocumentsFileResult DocumentsFile::enterDocument(uint32_t number) {
  if (state_ == state_disk_error) return DF_DISK_ERROR_STATE;
  DOVREL_ASSERT_TEXT(state_ == state_data_unchanged || state_ == state_data_changed,
                     "state == state_data_unchanged || state == state_data_changed");
  if (number >= documentCount_) return DF_NO_SUCH_DOCUMENT;
  if (switchBranch(number >> LOCAL_ID_BITS) != BF_DONE) return fail(DF_IO_FAILURE);
  if (state_ == state_disk_error) return DF_CORRUPT;
  return DF_DONE;
}

BufferedFileResult DocumentsFile::appendRecord(uint32_t id, const void* record, uint32_t length) {
  const void* bytes = length == 0 ? NO_BYTES : record;
  branch_.documentOffsets[id] = currentOffset_;
  branch_.lengths[id] = length;
  branch_.crcs[id] = crc32(bytes, length);
  if (BufferedFileResult result = file_->append(currentOffset_, bytes, length, currentOffset_)) {
    return result;
  }
  isLocalTableChanged_ = true;
  state_ = state_data_changed;
  return BF_DONE;
}

// Loads `branch` unless it is loaded, saving the loaded one first if it changed and keeping
// it in the branch cache; a kept branch comes back without a read. A branch
// record whose CRC does not match puts the file into state_disk_error.
BufferedFileResult DocumentsFile::switchBranch(uint32_t branch) {
  if (branch == currentBranchNumber_) return BF_DONE;
  if (currentBranchNumber_ != NO_BRANCH) {
    if (isLocalTableChanged_) {
      if (BufferedFileResult result = saveBranch()) return result;
    }
    keepLoadedBranch();
  }
  currentBranchNumber_ = NO_BRANCH;
  isLocalTableChanged_ = false;
  if (takeKeptBranch(branch)) {
    currentBranchNumber_ = branch;
    return BF_DONE;
  }
  const uint32_t place = branchesOffsets()[branch];
  if (place == 0) {
    branch_.clear();
  } else {
    if (BufferedFileResult result =
            file_->read(placeOffset(place), scratch_.data(), BRANCH_RECORD_SIZE)) {
      return result;
    }
    if (crc32(scratch_.data(), BRANCH_RECORD_SIZE) != branchCrcs()[branch]) {
      state_ = state_disk_error;
      return BF_DONE;
    }
    branch_.decode(scratch_.data());
  }
  currentBranchNumber_ = branch;
  return BF_DONE;
}

// Writes the loaded branch to a place that the last commit does not use (invariant 3); it
// stays loaded, now unchanged.
BufferedFileResult DocumentsFile::saveBranch() {
  const uint32_t branch = currentBranchNumber_;
  setTableEntry(BRANCH_CRC_TABLE + branch, branch_.encode(scratch_.data()));
  uint32_t working = branchesOffsets()[branch];
  const uint32_t committed = committedBranchesOffsets_[branch];
  if (working == committed && freeCount_ > 0) {
    --freeCount_;
    working = freeList()[freeCount_];
    setTableEntry(FREE_LIST_TABLE + freeCount_, 0);
  }
  if (working == committed) {
    if (BufferedFileResult result = file_->padToPage(currentOffset_, currentOffset_)) {
      return result;
    }
    DOVREL_ASSERT_TEXT(currentOffset_ == currentOffset_ >> 16 << 16,
                       "currentOffset == currentOffset >> 16 << 16");
    DOVREL_ASSERT_TEXT((currentOffset_ >> PAGE_SHIFT) <= 0xFFFFFFFFu,
                       "currentOffset >> 16 <= 0xFFFFFFFF");
    working = static_cast<uint32_t>(currentOffset_ >> PAGE_SHIFT);
    setTableEntry(BRANCH_OFFSETS_TABLE + branch, working);
    if (BufferedFileResult result =
            file_->append(currentOffset_, scratch_.data(), BRANCH_RECORD_SIZE, currentOffset_)) {
      return result;
    }
  } else {
    setTableEntry(BRANCH_OFFSETS_TABLE + branch, working);
    if (BufferedFileResult result =
            file_->write(placeOffset(working), scratch_.data(), BRANCH_RECORD_SIZE)) {
      return result;
    }
  }
  isLocalTableChanged_ = false;
  return BF_DONE;
}

void DocumentsFile::keepLoadedBranch() {
  constexpr uint64_t size = DocumentsBranch::MEMORY_BYTES;
  const uint64_t budget = branchCacheBudget();
  while (!keptBranches_.empty() &&
         branchBytesKept.load(std::memory_order_relaxed) + size > budget) {
    dropOldestKeptBranch();
  }
  // What other files keep may fill the bound; this branch is then read again when needed.
  if (branchBytesKept.load(std::memory_order_relaxed) + size > budget) return;
  try {
    // The node is allocated before the branch moves into it.
    keptBranches_.emplace_front(currentBranchNumber_, std::move(branch_));
  } catch (const std::bad_alloc&) {
    return;  // not kept: it is read again when needed
  }
  try {
    keptIndex_.emplace(currentBranchNumber_, keptBranches_.begin());
  } catch (const std::bad_alloc&) {
    branch_ = std::move(keptBranches_.front().branch);
    keptBranches_.pop_front();
    return;
  }
  branchBytesKept.fetch_add(size, std::memory_order_relaxed);
}

bool DocumentsFile::takeKeptBranch(uint32_t branch) {
  const auto found = keptIndex_.find(branch);
  if (found == keptIndex_.end()) return false;
  branch_ = std::move(found->second->branch);
  keptBranches_.erase(found->second);
  keptIndex_.erase(found);
  branchBytesKept.fetch_sub(DocumentsBranch::MEMORY_BYTES, std::memory_order_relaxed);
  return true;
}

void DocumentsFile::dropOldestKeptBranch() {
  keptIndex_.erase(keptBranches_.back().number);
  keptBranches_.pop_back();
  branchBytesKept.fetch_sub(DocumentsBranch::MEMORY_BYTES, std::memory_order_relaxed);
}

void DocumentsFile::setTableEntry(uint32_t index, uint32_t value) {
  if (tableSet_[index] == value) return;
  tableSet_[index] = value;
  const uint32_t page = 1u << (index * sizeof(uint32_t) / PAGE_SIZE);
  staleTablePages_[0] |= page;
  staleTablePages_[1] |= page;
}

BufferedFileResult DocumentsFile::writeStaleTablePages(uint32_t selector) {
  uint32_t& stale = staleTablePages_[selector == 0 ? 0 : 1];
  const auto* bytes = reinterpret_cast<const unsigned char*>(tableSet_.data());
  // Runs of stale pages go out in one write each; the pages in between hold these bytes.
  for (uint32_t page = 0; page < TABLE_SET_PAGES;) {
    if (!(stale & (1u << page))) {
      ++page;
      continue;
    }
    uint32_t end = page + 1;
    while (end < TABLE_SET_PAGES && (stale & (1u << end))) ++end;
    if (BufferedFileResult result =
            file_->write(tableSetOffset(selector) + uint64_t{page} * PAGE_SIZE,
                         bytes + page * PAGE_SIZE, (end - page) * PAGE_SIZE)) {
      return result;
    }
    page = end;
  }
  stale = 0;
  return BF_DONE;
}

}  // namespace dovrel
