// Randomized test of the documents file against an in-memory model: adds (in bursts that
// cross branch boundaries), replaces, deletes, reads, commits, reopening without a commit,
// and crashes between the commit phases settled by either open mode. Prints its seed.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "storage/DocumentsFile.h"
#include "storage/DocumentsTestSupport.h"
#include "storage/StorageTestSupport.h"

namespace dovrel {
namespace {

using storage_test::commit;
using storage_test::createFile;
using storage_test::DocumentsModel;
using storage_test::openFile;
using storage_test::read;
using storage_test::TempDir;

void runModel(unsigned seed) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  TempDir dir;
  const std::string path = dir.file("model.table");
  DocumentsModel model;
  DocumentsModel committed;
  auto f = createFile(path);
  auto record = [&](uint32_t step) {
    const uint32_t length = rng() % 50 == 0 ? rng() % 200000 : rng() % 300;
    std::string r(length, '\0');
    for (uint32_t i = 0; i < length; ++i) r[i] = static_cast<char>(step * 31 + i);
    return r;
  };
  auto anyDocument = [&] { return static_cast<uint32_t>(rng() % model.records.size()); };

  for (uint32_t step = 0; step < 500; ++step) {
    const uint32_t what = rng() % 100;
    if (what < 35 || model.records.empty()) {
      model.add(*f, record(step));
    } else if (what < 50) {
      model.replace(*f, anyDocument(), record(step));
    } else if (what < 62) {
      model.remove(*f, anyDocument());
    } else if (what < 75) {
      const uint32_t n = anyDocument();
      ASSERT_EQ(read(*f, n), model.records[n]) << "document " << n << " at step " << step;
    } else if (what < 78) {
      const uint32_t burst = 2000 + rng() % 8000;
      for (uint32_t i = 0; i < burst; ++i)
        model.add(*f, std::to_string(step) + "/" + std::to_string(i));
    } else if (what < 88) {
      commit(*f);
      committed = model;
    } else if (what < 94) {
      f = nullptr;
      f = openFile(path);
      ASSERT_NE(f, nullptr);
      model = committed;
      ASSERT_TRUE(model.matches(*f)) << "after reopening at step " << step;
    } else {
      // The process dies between the phases; the marker decides the mode.
      ASSERT_EQ(f->commitPrepare(), DF_DONE);
      f = nullptr;
      const bool markerLeft = rng() % 2 == 0;
      f = openFile(path, markerLeft ? OpenMode::openAfterCommit : OpenMode::openNormal);
      ASSERT_NE(f, nullptr);
      if (markerLeft) {
        model = committed;
      } else {
        committed = model;
      }
      ASSERT_TRUE(model.matches(*f)) << "after a crash between the phases at step " << step;
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
  commit(*f);
  f = nullptr;
  f = openFile(path);
  EXPECT_TRUE(model.matches(*f));
}

TEST(DocumentsFileModelTest, RandomOperationsMatchTheModelAcrossReopens) {
  runModel(20240601);
  runModel(std::random_device{}());
}

// The same with the branch cache off, and with room for two branches, so that kept branches
// are dropped and read again all the time.
TEST(DocumentsFileModelTest, RandomOperationsMatchTheModelWithASmallOrNoBranchCache) {
  const uint64_t saved = DocumentsFile::branchCacheBudget();
  for (const uint64_t budget : {uint64_t{0}, 2 * DocumentsBranch::MEMORY_BYTES}) {
    SCOPED_TRACE("branch cache budget " + std::to_string(budget));
    DocumentsFile::setBranchCacheBudget(budget);
    runModel(20240602);
    if (::testing::Test::HasFatalFailure()) break;
  }
  DocumentsFile::setBranchCacheBudget(saved);
}

}  // namespace
}  // namespace dovrel
