// Crash tests of the documents-file commit. Commit N has two branches and a free list; the
// test runs commit N+1 (which reuses the freed branch places) on a copy, kills the process
// at every write, truncate and sync of both phases - also as a power loss that drops what
// was not synced - and checks that the open mode used after such a crash settles the file
// on the right commit, byte for byte, and that the file goes on working.
#include <gtest/gtest.h>

#include <string>

#include "storage/DocumentsFile.h"
#include "storage/DocumentsTestSupport.h"
#include "storage/StorageTestSupport.h"

namespace dovrel {
namespace {

using namespace documents_format;
using platform::FaultKind;
using storage_test::commit;
using storage_test::copyFile;
using storage_test::createFile;
using storage_test::DocumentsModel;
using storage_test::InstalledFaultEnv;
using storage_test::openFile;
using storage_test::readFile;
using storage_test::sameBytes;
using storage_test::TempDir;

enum class Phase { NONE, PREPARE, FINISH };

class DocumentsFileCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto f = createFile(base);
    for (uint32_t n = 0; n < DOCUMENTS_PER_BRANCH + 10; ++n) modelN.add(*f, std::to_string(n));
    commit(*f);
    // Both branches move, so their first places go to the free list.
    modelN.remove(*f, 5);
    modelN.remove(*f, DOCUMENTS_PER_BRANCH + 1);
    modelN.replace(*f, 7, "seven");
    commit(*f);
    f.reset();

    copyFile(base, referenceNext);
    modelNext = modelN;
    f = openFile(referenceNext);
    applyNext(*f, modelNext);
    commit(*f);
  }

  static void applyNext(DocumentsFile& f, DocumentsModel& model) {
    model.remove(f, 6);
    model.add(f, "added");
    model.replace(f, DOCUMENTS_PER_BRANCH, std::string(100000, 'r'));  // spans pages
    model.remove(f, 2);
    model.add(f, "");
  }

  // Runs commit N+1 on a copy of commit N at `path` with a crash armed (nth = 0: none) and
  // tells in which phase the process died.
  Phase runCommit(const std::string& path, FaultKind kind, uint64_t nth, bool powerLoss,
                  uint64_t* calls = nullptr) {
    copyFile(base, path);
    InstalledFaultEnv fault;
    Phase phase = Phase::NONE;
    {
      auto f = openFile(path);
      if (f == nullptr) return Phase::NONE;
      DocumentsModel ignored = modelN;
      applyNext(*f, ignored);
      fault.env.resetCounts();
      if (nth > 0) fault.env.crashAt(kind, nth);
      if (f->commitPrepare() != DF_DONE) {
        phase = Phase::PREPARE;
      } else if (f->commitFinish() != DF_DONE) {
        phase = Phase::FINISH;
      }
      if (calls != nullptr) *calls = fault.env.count(kind);
    }
    if (powerLoss) {
      EXPECT_TRUE(fault.env.dropUnsyncedData());
    }
    return phase;
  }

  // Opens a copy of the crashed file in `mode` and checks that it holds the commit of
  // `model` and `reference`, and that a further commit on it survives a reopen.
  void expectSettles(const std::string& crashed, OpenMode mode, const DocumentsModel& model,
                     const std::string& reference) {
    const std::string path = crashed + (mode == OpenMode::openNormal ? ".normal" : ".after");
    copyFile(crashed, path);
    {
      auto f = openFile(path, mode);
      ASSERT_NE(f, nullptr);
      EXPECT_TRUE(model.matches(*f));
    }
    const std::string got = readFile(path);
    const std::string want = readFile(reference);
    EXPECT_TRUE(sameBytes(got.substr(0, TABLE_SET_0_OFFSET), want.substr(0, TABLE_SET_0_OFFSET)))
        << "header pages";
    const uint64_t tables =
        tableSetOffset(decodeHeader(reinterpret_cast<const unsigned char*>(want.data())).selector);
    EXPECT_TRUE(
        sameBytes(got.substr(tables, TABLE_SET_BYTES), want.substr(tables, TABLE_SET_BYTES)))
        << "table set";

    DocumentsModel more = model;
    auto f = openFile(path);
    ASSERT_NE(f, nullptr);
    more.add(*f, "after recovery");
    more.remove(*f, 0);
    commit(*f);
    f = nullptr;
    f = openFile(path);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(more.matches(*f));
  }

  TempDir dir;
  std::string base = dir.file("base.table");
  std::string referenceNext = dir.file("next.table");
  DocumentsModel modelN;
  DocumentsModel modelNext;
};

// The moment between the phases, built by copying the file right after commitPrepare:
// pages 0-1 are new and pages 2-3 old, and each mode picks its side.
TEST_F(DocumentsFileCrashTest, BetweenThePhasesEachModeRestoresItsCommit) {
  const std::string path = dir.file("between.table");
  const std::string crashed = dir.file("crashed.table");
  copyFile(base, path);
  auto f = openFile(path);
  ASSERT_NE(f, nullptr);
  DocumentsModel ignored = modelN;
  applyNext(*f, ignored);
  ASSERT_EQ(f->commitPrepare(), DF_DONE);
  copyFile(path, crashed);
  const std::string bytes = readFile(crashed);
  EXPECT_EQ(bytes.compare(0, PAGE_SIZE, bytes, PAGE_SIZE, PAGE_SIZE), 0);
  EXPECT_NE(bytes.compare(0, PAGE_SIZE, bytes, 2 * PAGE_SIZE, PAGE_SIZE), 0);
  expectSettles(crashed, OpenMode::openNormal, modelNext, referenceNext);
  expectSettles(crashed, OpenMode::openAfterCommit, modelN, base);
}

// Invariants 1 and 3 of the commit. A crash in commitPrepare happens while the commit
// marker exists, so the file is opened with openAfterCommit and must be at commit N; a crash in
// commitFinish happens after the marker is gone, so openNormal must give commit N+1.
TEST_F(DocumentsFileCrashTest, EveryCrashPointOfTheCommitSettlesOnTheRightCommit) {
  const std::string crashed = dir.file("crashed.table");
  int tornHeaders = 0;
  for (bool powerLoss : {false, true}) {
    for (FaultKind kind : {FaultKind::WRITE, FaultKind::TRUNCATE, FaultKind::SYNC}) {
      uint64_t calls = 0;
      ASSERT_EQ(runCommit(crashed, kind, 0, false, &calls), Phase::NONE);
      ASSERT_GT(calls, 0u);
      for (uint64_t nth = 1; nth <= calls; ++nth) {
        SCOPED_TRACE(std::string(powerLoss ? "power loss" : "crash") + " at call " +
                     std::to_string(nth) + " of kind " + std::to_string(static_cast<int>(kind)));
        const Phase phase = runCommit(crashed, kind, nth, powerLoss);
        ASSERT_NE(phase, Phase::NONE);
        const std::string bytes = readFile(crashed);
        if (bytes.compare(0, PAGE_SIZE, bytes, PAGE_SIZE, PAGE_SIZE) != 0) ++tornHeaders;
        if (phase == Phase::PREPARE) {
          expectSettles(crashed, OpenMode::openAfterCommit, modelN, base);
        } else {
          expectSettles(crashed, OpenMode::openNormal, modelNext, referenceNext);
        }
        if (HasFatalFailure()) return;
      }
    }
  }
  EXPECT_GT(tornHeaders, 0);  // the crash between the writes of header pages 0 and 1
}

}  // namespace
}  // namespace dovrel
