// Tests of the documents file: its layout, the result codes and the disk-error state, the
// alternating table sets, branch places reused after commits, and the refusal of damaged
// or implausible files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "foundation/Crc32.h"
#include "storage/DocumentsFile.h"
#include "storage/DocumentsTestSupport.h"
#include "storage/StorageTestSupport.h"

namespace dovrel {
namespace {

using namespace documents_format;
using platform::FaultKind;
using storage_test::add;
using storage_test::commit;
using storage_test::createFile;
using storage_test::DocumentsModel;
using storage_test::InstalledFaultEnv;
using storage_test::openFile;
using storage_test::patchFile;
using storage_test::read;
using storage_test::readFile;
using storage_test::TempDir;

class DocumentsFileTest : public ::testing::Test {
 protected:
  Header header(uint32_t page) const {
    return decodeHeader(
        reinterpret_cast<const unsigned char*>(readFile(path).substr(page * PAGE_SIZE).data()));
  }
  // Sets the header in all four pages, as if a commit had written it.
  void setHeader(const Header& h) {
    std::string bytes(HEADER_SIZE, '\0');
    encodeHeader(h, reinterpret_cast<unsigned char*>(bytes.data()));
    for (uint32_t page = 0; page < HEADER_PAGES; ++page) {
      patchFile(path, headerPageOffset(page), bytes);
    }
  }
  DocumentsFileResult openResult(OpenMode mode = OpenMode::openNormal) {
    std::shared_ptr<DocumentsFile> f;
    return DocumentsFile::open(path, mode, &f);
  }

  TempDir dir;
  std::string path = dir.file("t.table");
};

TEST_F(DocumentsFileTest, NewFileHoldsOnlyHeadersAndTableSets) {
  auto f = createFile(path);
  f.reset();
  const std::string bytes = readFile(path);
  ASSERT_EQ(bytes.size(), 0x1C0000u);
  const Header h = header(0);
  EXPECT_EQ(h.currentOffset, 0x1C0000u);
  EXPECT_EQ(h.tablesCrc, crc32(bytes.data() + TABLE_SET_0_OFFSET, TABLE_SET_BYTES));
  for (uint32_t page = 1; page < 4; ++page) {
    EXPECT_EQ(bytes.compare(page * PAGE_SIZE, PAGE_SIZE, bytes, 0, PAGE_SIZE), 0);
  }
  f = openFile(path);
  EXPECT_EQ(add(*f, "first"), 0u);
  EXPECT_EQ(add(*f, ""), 1u);
  EXPECT_EQ(read(*f, 0), "first");
  EXPECT_EQ(read(*f, 1), "");
}

TEST_F(DocumentsFileTest, FileIsFullAfter2To30Documents) {
  createFile(path).reset();
  Header h = header(0);
  h.documentCount = MAX_DOCUMENTS - 1;  // the numbers below were never written: fine here
  setHeader(h);
  auto f = openFile(path);
  EXPECT_EQ(add(*f, "last"), MAX_DOCUMENTS - 1);
  uint32_t number = 0;
  EXPECT_EQ(f->addDocument("x", 1, &number), DF_FILE_FULL);
  commit(*f);
  f.reset();
  f = openFile(path);
  EXPECT_EQ(read(*f, MAX_DOCUMENTS - 1), "last");
  EXPECT_EQ(f->addDocument("x", 1, &number), DF_FILE_FULL);
}

TEST_F(DocumentsFileTest, DeleteAndUnknownNumbersAnswerTheirCodes) {
  auto f = createFile(path);
  add(*f, "a");
  add(*f, "b");
  EXPECT_EQ(f->deleteDocument(1), DF_DONE);
  EXPECT_EQ(f->deleteDocument(1), DF_ALREADY_DELETED);
  bool deleted = false;
  EXPECT_EQ(f->isDeleted(1, &deleted), DF_DONE);
  EXPECT_TRUE(deleted);
  EXPECT_EQ(read(*f, 1), "b");  // a deleted document stays readable
  EXPECT_EQ(f->replaceDocument(1, "c", 1), DF_DONE);
  EXPECT_EQ(f->isDeleted(1, &deleted), DF_DONE);
  EXPECT_TRUE(deleted);

  uint32_t length = 0;
  char buffer[4];
  EXPECT_EQ(f->isDeleted(2, &deleted), DF_NO_SUCH_DOCUMENT);
  EXPECT_EQ(f->getLength(2, &length), DF_NO_SUCH_DOCUMENT);
  EXPECT_EQ(f->readDocument(2, buffer, sizeof buffer), DF_NO_SUCH_DOCUMENT);
  EXPECT_EQ(f->deleteDocument(2), DF_NO_SUCH_DOCUMENT);
  EXPECT_EQ(f->replaceDocument(0xFFFFFFFF, "x", 1), DF_NO_SUCH_DOCUMENT);
  EXPECT_EQ(f->state(), DocumentsFile::state_data_changed);
}

// Invariant 5: opening moves the append point back to the committed end.
TEST_F(DocumentsFileTest, UncommittedWorkIsGoneAfterReopening) {
  DocumentsModel model;
  auto f = createFile(path);
  model.add(*f, "kept");
  commit(*f);
  add(*f, "lost");
  EXPECT_EQ(f->deleteDocument(0), DF_DONE);
  f.reset();
  f = openFile(path);
  EXPECT_TRUE(model.matches(*f));
  EXPECT_EQ(model.add(*f, "again"), 1u);
  EXPECT_TRUE(model.matches(*f));
}

TEST_F(DocumentsFileTest, FlippedRecordByteAnswersSevenThenEight) {
  auto f = createFile(path);
  add(*f, "precious record");
  commit(*f);
  f.reset();
  patchFile(path, DATA_START + 3, "X");
  f = openFile(path);
  char buffer[32];
  EXPECT_EQ(f->readDocument(0, buffer, sizeof buffer), DF_CORRUPT);
  EXPECT_EQ(f->state(), DocumentsFile::state_disk_error);
  uint32_t value = 0;
  EXPECT_EQ(f->getLength(0, &value), DF_DISK_ERROR_STATE);
  EXPECT_EQ(f->addDocument("x", 1, &value), DF_DISK_ERROR_STATE);
  EXPECT_EQ(f->getDocumentCount(&value), DF_DISK_ERROR_STATE);
  EXPECT_EQ(f->commitPrepare(), DF_DISK_ERROR_STATE);
  EXPECT_EQ(f->commitFinish(), DF_DISK_ERROR_STATE);
}

TEST_F(DocumentsFileTest, DamagedBranchRecordIsDetected) {
  auto f = createFile(path);
  add(*f, "r");
  commit(*f);
  f.reset();
  // The record "r" is padded to a page, then branch 0's record follows.
  patchFile(path, DATA_START + PAGE_SIZE + BRANCH_LENGTHS_AT, "\x07");
  f = openFile(path);
  bool deleted;
  EXPECT_EQ(f->isDeleted(0, &deleted), DF_CORRUPT);
  EXPECT_EQ(f->isDeleted(0, &deleted), DF_DISK_ERROR_STATE);
}

TEST_F(DocumentsFileTest, CommitsAlternateBetweenTheTwoTableSets) {
  auto f = createFile(path);
  add(*f, "a");
  commit(*f);
  uint32_t place = 0;
  std::string bytes = readFile(path);
  EXPECT_EQ(header(0).selector, 1u);
  std::memcpy(&place, bytes.data() + TABLE_SET_1_OFFSET, 4);
  EXPECT_EQ(uint64_t{place} * PAGE_SIZE, DATA_START + PAGE_SIZE);  // after the padded record
  std::memcpy(&place, bytes.data() + TABLE_SET_0_OFFSET, 4);
  EXPECT_EQ(place, 0u);

  EXPECT_EQ(f->deleteDocument(0), DF_DONE);
  commit(*f);
  bytes = readFile(path);
  EXPECT_EQ(header(0).selector, 0u);
  std::memcpy(&place, bytes.data() + TABLE_SET_0_OFFSET, 4);
  EXPECT_EQ(uint64_t{place} * PAGE_SIZE, DATA_START + PAGE_SIZE + BRANCH_RECORD_SIZE);
  EXPECT_EQ(header(0), header(3));
}

// Invariant 4: a place freed by one commit is taken again by the next, so repeated commits
// of one branch alternate between two places.
TEST_F(DocumentsFileTest, BranchPlacesAreReusedSoTheFileStopsGrowing) {
  DocumentsModel model;
  auto f = createFile(path);
  for (int i = 0; i < 20; ++i) model.add(*f, "doc " + std::to_string(i));
  uint64_t sizeAfterThird = 0;
  for (uint32_t round = 0; round < 8; ++round) {
    model.remove(*f, round);
    commit(*f);
    if (round == 2) sizeAfterThird = header(0).currentOffset;
    if (round > 2) {
      EXPECT_EQ(header(0).currentOffset, sizeAfterThird) << round;
    }
  }
  f.reset();
  f = openFile(path);
  EXPECT_TRUE(model.matches(*f));
}

// A commit writes only the pages of its table set that changed since that set was last
// written, two commits ago; the set on disk must still be the whole working tables. Three
// branches change in turn (their offsets, CRCs and the free list), with reopenings between,
// after which nothing is known of the set that was not read.
TEST_F(DocumentsFileTest, EveryCommitLeavesTheSelectedTableSetWhole) {
  DocumentsModel model;
  auto f = createFile(path);
  for (uint32_t n = 0; n < 2 * DOCUMENTS_PER_BRANCH + 5; ++n) model.add(*f, "d");
  commit(*f);
  for (uint32_t round = 0; round < 12; ++round) {
    const uint32_t branch = round % 3;
    model.replace(*f, branch * DOCUMENTS_PER_BRANCH + round % 4, "round " + std::to_string(round));
    if (round % 4 == 1) model.remove(*f, branch * DOCUMENTS_PER_BRANCH + 4);
    commit(*f);
    const Header committed = header(0);
    const uint64_t set = committed.selector == 0 ? TABLE_SET_0_OFFSET : TABLE_SET_1_OFFSET;
    const std::string bytes = readFile(path);
    ASSERT_EQ(crc32(bytes.data() + set, TABLE_SET_BYTES), committed.tablesCrc) << round;
    if (round % 5 == 4) {
      f.reset();
      f = openFile(path);
    }
  }
  f.reset();
  f = openFile(path);
  EXPECT_TRUE(model.matches(*f));
}

TEST_F(DocumentsFileTest, EmptyCommitWritesNothing) {
  InstalledFaultEnv fault;
  auto f = createFile(path);
  fault.env.resetCounts();
  EXPECT_EQ(f->commitPrepare(), DF_DONE);
  EXPECT_EQ(f->state(), DocumentsFile::state_empty_commit_started);
  EXPECT_EQ(f->commitFinish(), DF_DONE);
  EXPECT_EQ(fault.env.count(FaultKind::WRITE), 0u);
  EXPECT_EQ(f->state(), DocumentsFile::state_data_unchanged);
}

TEST_F(DocumentsFileTest, RecordsStillInTheAppendBufferAreReadWithoutDiskAccess) {
  InstalledFaultEnv fault;
  auto f = createFile(path);
  const std::string big(3 * PAGE_SIZE + 17, 'b');
  add(*f, big);
  add(*f, "small");
  fault.env.resetCounts();
  EXPECT_EQ(read(*f, 1), "small");
  EXPECT_EQ(fault.env.count(FaultKind::READ), 0u);
  EXPECT_TRUE(storage_test::sameBytes(read(*f, 0), big));
}

// A branch that was loaded before comes back from the branch cache without a read, and
// what changed in it, saved on the way out, is what comes back.
TEST_F(DocumentsFileTest, KeptBranchesAreNotReadAgainAndKeepTheirChanges) {
  const uint64_t usedBefore = DocumentsFile::branchCacheUsed();
  {
    InstalledFaultEnv fault;
    auto f = createFile(path);
    for (uint32_t n = 0; n < 2 * DOCUMENTS_PER_BRANCH + 1; ++n) add(*f, std::to_string(n));
    commit(*f);
    f.reset();
    f = openFile(path);
    EXPECT_EQ(read(*f, 5), "5");  // branch 0: its record and the document
    EXPECT_EQ(read(*f, DOCUMENTS_PER_BRANCH + 5), std::to_string(DOCUMENTS_PER_BRANCH + 5));
    fault.env.resetCounts();
    EXPECT_EQ(read(*f, 6), "6");  // branch 0 again: the document only
    EXPECT_EQ(fault.env.count(FaultKind::READ), 1u);
    EXPECT_EQ(DocumentsFile::branchCacheUsed(), usedBefore + DocumentsBranch::MEMORY_BYTES);

    ASSERT_EQ(f->replaceDocument(7, "seven", 5), DF_DONE);
    ASSERT_EQ(f->deleteDocument(8), DF_DONE);
    EXPECT_EQ(read(*f, 2 * DOCUMENTS_PER_BRANCH), std::to_string(2 * DOCUMENTS_PER_BRANCH));
    bool deleted = false;
    ASSERT_EQ(f->isDeleted(8, &deleted), DF_DONE);
    EXPECT_TRUE(deleted);
    EXPECT_EQ(read(*f, 7), "seven");
    commit(*f);
    EXPECT_EQ(read(*f, DOCUMENTS_PER_BRANCH), std::to_string(DOCUMENTS_PER_BRANCH));
    EXPECT_EQ(read(*f, 7), "seven");
    f.reset();
    f = openFile(path);
    EXPECT_EQ(read(*f, 7), "seven");
    ASSERT_EQ(f->isDeleted(8, &deleted), DF_DONE);
    EXPECT_TRUE(deleted);
  }
  EXPECT_EQ(DocumentsFile::branchCacheUsed(), usedBefore);  // closed files keep nothing
}

// Without room in the branch cache every switch reads the branch record again, as before.
TEST_F(DocumentsFileTest, WithoutABranchCacheEverySwitchReadsTheBranch) {
  const uint64_t saved = DocumentsFile::branchCacheBudget();
  DocumentsFile::setBranchCacheBudget(0);
  {
    InstalledFaultEnv fault;
    auto f = createFile(path);
    for (uint32_t n = 0; n < DOCUMENTS_PER_BRANCH + 1; ++n) add(*f, "d");
    commit(*f);
    f.reset();
    f = openFile(path);
    EXPECT_EQ(read(*f, 0), "d");
    EXPECT_EQ(read(*f, DOCUMENTS_PER_BRANCH), "d");
    fault.env.resetCounts();
    EXPECT_EQ(read(*f, 1), "d");
    EXPECT_EQ(fault.env.count(FaultKind::READ), 2u);  // the branch record and the document
  }
  DocumentsFile::setBranchCacheBudget(saved);
}

TEST_F(DocumentsFileTest, IoFailuresAnswerSixAndStopTheFile) {
  InstalledFaultEnv fault;
  auto f = createFile(path);
  add(*f, "a");
  fault.env.failAt(FaultKind::WRITE, 1, ENOSPC);
  EXPECT_EQ(f->commitPrepare(), DF_IO_FAILURE);
  uint32_t number = 0;
  EXPECT_EQ(f->addDocument("b", 1, &number), DF_DISK_ERROR_STATE);
  f.reset();

  std::shared_ptr<DocumentsFile> g;
  fault.env.failAt(FaultKind::WRITE, 3, ENOSPC);
  EXPECT_EQ(DocumentsFile::create(dir.file("x.table"), &g), DF_CANNOT_CREATE);
  EXPECT_EQ(g, nullptr);
  EXPECT_EQ(DocumentsFile::create(dir.file("no/dir.table"), &g), DF_CANNOT_CREATE);
  EXPECT_EQ(DocumentsFile::open(dir.file("missing.table"), OpenMode::openNormal, &g),
            DF_IO_FAILURE);
  auto held = createFile(dir.file("held.table"));
  EXPECT_EQ(DocumentsFile::open(dir.file("held.table"), OpenMode::openNormal, &g), DF_IO_FAILURE);
}

// Each open mode insists on its own pair of header pages.
TEST_F(DocumentsFileTest, HeaderPagesThatDisagreeAreRefused) {
  createFile(path).reset();
  patchFile(path, headerPageOffset(1) + 100, "x");
  EXPECT_EQ(openResult(OpenMode::openNormal), DF_CORRUPT);
  EXPECT_EQ(openResult(OpenMode::openAfterCommit), DF_DONE);  // repairs page 1 from page 2
  EXPECT_EQ(openResult(OpenMode::openNormal), DF_DONE);
  patchFile(path, headerPageOffset(3) + 100, "x");
  EXPECT_EQ(openResult(OpenMode::openAfterCommit), DF_CORRUPT);
}

// Headers carry no CRC of their own. A header whose fields do not fit the file is refused
// before anything is repaired, so neither an assertion nor a write follows from it.
TEST_F(DocumentsFileTest, ImplausibleHeadersAndTablesAreRefusedWithoutRepair) {
  auto f = createFile(path);
  add(*f, "a");
  commit(*f);
  f.reset();
  const Header good = header(0);
  const std::string original = readFile(path);
  auto refused = [&](Header h) {
    storage_test::writeFile(path, original);
    std::string bytes(HEADER_SIZE, '\0');
    encodeHeader(h, reinterpret_cast<unsigned char*>(bytes.data()));
    patchFile(path, 0, bytes);
    patchFile(path, PAGE_SIZE, bytes);
    const std::string before = readFile(path);
    EXPECT_EQ(openResult(), DF_CORRUPT);
    EXPECT_TRUE(storage_test::sameBytes(readFile(path), before));
  };
  Header h = good;
  h.currentOffset = original.size() + PAGE_SIZE;  // past the end of the file
  refused(h);
  h = good;
  h.currentOffset = PAGE_SIZE;  // inside the header pages
  refused(h);
  h = good;
  h.freeCount = TABLE_ENTRIES + 1;
  refused(h);
  h = good;
  h.deletedCount = h.documentCount + 1;
  refused(h);
  h = good;
  h.tablesCrc ^= 1;
  refused(h);
  h = good;
  h.currentOffset = DATA_START + PAGE_SIZE;  // the branch record lies beyond this end
  refused(h);
}

}  // namespace
}  // namespace dovrel
