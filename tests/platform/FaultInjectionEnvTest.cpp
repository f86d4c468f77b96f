// The fault-injecting Env: counting, failing the n-th call, and crashing so that what was
// not synced is lost.
#include <gtest/gtest.h>

#include <cerrno>
#include <new>
#include <string>

#include "foundation/AllocationGate.h"
#include "foundation/BlockAllocator.h"
#include "foundation/TextBuffer.h"
#include "platform/FaultInjectionEnv.h"
#include "support/TempDir.h"

namespace dovrel::platform {
namespace {

using testsupport::TempDir;

class FaultInjectionEnvTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.valid()); }

  Status writePage(PageFile& file, uint64_t offset, const std::string& bytes) {
    std::size_t done = 0;
    return file.writeAt(offset, bytes.data(), bytes.size(), &done);
  }
  std::string content(const std::string& name) {
    std::string bytes;
    EXPECT_TRUE(Env::posix().readWholeFile(dir_.file(name), &bytes));
    return bytes;
  }

  TempDir dir_;
  FaultInjectionEnv env_;
};

TEST_F(FaultInjectionEnvTest, NthWriteFailsOnceWithTheChosenErrnoAndChangesNothing) {
  std::unique_ptr<PageFile> file;
  ASSERT_TRUE(env_.openPageFile(dir_.file("t.table"), OpenMode::CREATE_ALWAYS, &file));
  env_.failAt(FaultKind::WRITE, 3, ENOSPC);
  EXPECT_TRUE(writePage(*file, 0, "aa"));
  EXPECT_TRUE(writePage(*file, 2, "bb"));
  Status failed = writePage(*file, 4, "cc");
  EXPECT_EQ(failed.error(), ENOSPC);
  EXPECT_EQ(failed.path(), dir_.file("t.table"));
  EXPECT_TRUE(writePage(*file, 6, "dd"));
  EXPECT_EQ(content("t.table"), std::string("aabb\0\0dd", 8));
  EXPECT_EQ(env_.count(FaultKind::WRITE), 4u);
  EXPECT_EQ(env_.count(FaultKind::OPEN), 1u);
  EXPECT_EQ(env_.count(FaultKind::SYNC), 0u);
}

TEST_F(FaultInjectionEnvTest, PersistentFaultFailsEveryLaterCallUntilCleared) {
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(env_.openWritableFile(dir_.file("current.log"), false, &file));
  env_.failAt(FaultKind::SYNC, 2, EIO, true);
  EXPECT_TRUE(file->sync());
  EXPECT_EQ(file->sync().error(), EIO);
  EXPECT_EQ(file->sync().error(), EIO);
  env_.clearFaults();
  EXPECT_TRUE(file->sync());
  EXPECT_EQ(env_.count(FaultKind::SYNC), 4u);
}

TEST_F(FaultInjectionEnvTest, EnvCallsAreCountedAndCanFail) {
  ASSERT_TRUE(env_.createDirectory(dir_.file("DATA")));
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(env_.openWritableFile(dir_.file("security.txt.new"), false, &file));
  ASSERT_TRUE(file->append("x", 1));
  ASSERT_TRUE(file->close());
  env_.failAt(FaultKind::RENAME, 1, EACCES);
  EXPECT_EQ(env_.renameFile(dir_.file("security.txt.new"), dir_.file("security.txt")).error(),
            EACCES);
  EXPECT_TRUE(env_.fileExists(dir_.file("security.txt.new")));
  ASSERT_TRUE(env_.renameFile(dir_.file("security.txt.new"), dir_.file("security.txt")));
  env_.failAt(FaultKind::DELETE, 1, EPERM);
  EXPECT_EQ(env_.deleteFile(dir_.file("security.txt")).error(), EPERM);
  std::vector<std::string> names;
  ASSERT_TRUE(env_.listDirectory(dir_.path(), "*.txt", &names));
  EXPECT_EQ(names, std::vector<std::string>{"security.txt"});
  EXPECT_EQ(env_.count(FaultKind::RENAME), 2u);
  EXPECT_EQ(env_.count(FaultKind::DELETE), 1u);
  EXPECT_EQ(env_.count(FaultKind::WRITE), 1u);
  EXPECT_EQ(env_.count(FaultKind::CLOSE), 1u);
  env_.resetCounts();
  EXPECT_EQ(env_.count(FaultKind::RENAME), 0u);
}

TEST_F(FaultInjectionEnvTest, ArmingCountsFromThePresentCall) {
  ASSERT_TRUE(Env::posix().createDirectory(dir_.file("d")));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(env_.syncDirectory(dir_.file("d")));
  env_.failAt(FaultKind::SYNC_DIRECTORY, 2, EIO);
  EXPECT_TRUE(env_.syncDirectory(dir_.file("d")));
  EXPECT_FALSE(env_.syncDirectory(dir_.file("d")));
  EXPECT_TRUE(env_.syncDirectory(dir_.file("d")));
}

TEST_F(FaultInjectionEnvTest, CrashKeepsOnlyWhatWasSynced) {
  const std::string path = dir_.file("t.table");
  {
    std::unique_ptr<PageFile> file;
    ASSERT_TRUE(env_.openPageFile(path, OpenMode::CREATE_ALWAYS, &file));
    ASSERT_TRUE(writePage(*file, 0, "synced"));
    ASSERT_TRUE(file->sync());
    ASSERT_TRUE(writePage(*file, 6, "-lost"));
    env_.crashAt(FaultKind::SYNC, 1);
    EXPECT_EQ(file->sync().error(), EIO);
    EXPECT_TRUE(env_.crashed());
    // Once dead, nothing reaches the disk.
    EXPECT_EQ(writePage(*file, 0, "later").error(), EIO);
    EXPECT_EQ(env_.deleteFile(path).error(), EIO);
  }
  EXPECT_EQ(content("t.table"), "synced-lost");
  ASSERT_TRUE(env_.dropUnsyncedData());
  EXPECT_EQ(content("t.table"), "synced");
  env_.clearFaults();
  EXPECT_FALSE(env_.crashed());
}

TEST_F(FaultInjectionEnvTest, CrashRestoresOldContentAndRemovesNewFiles) {
  std::unique_ptr<WritableFile> setup;
  ASSERT_TRUE(Env::posix().openWritableFile(dir_.file("old.txt"), false, &setup));
  ASSERT_TRUE(setup->append("before", 6));
  ASSERT_TRUE(setup->close());
  env_.resetCounts();
  {
    std::unique_ptr<WritableFile> replaced;
    ASSERT_TRUE(env_.openWritableFile(dir_.file("old.txt"), false, &replaced));
    ASSERT_TRUE(replaced->append("after", 5));
    std::unique_ptr<WritableFile> created;
    ASSERT_TRUE(env_.openWritableFile(dir_.file("new.txt"), false, &created));
    ASSERT_TRUE(created->append("n", 1));
    ASSERT_TRUE(created->flush());
    // The journal survives because it was synced before the crash.
    std::unique_ptr<WritableFile> journal;
    ASSERT_TRUE(env_.openWritableFile(dir_.file("current.log"), false, &journal));
    ASSERT_TRUE(journal->append("query", 5));
    ASSERT_TRUE(journal->sync());
    env_.crashAt(FaultKind::WRITE, 1);
    EXPECT_FALSE(journal->append("more", 4));
  }
  ASSERT_TRUE(env_.dropUnsyncedData());
  EXPECT_EQ(content("old.txt"), "before");
  EXPECT_FALSE(Env::posix().fileExists(dir_.file("new.txt")));
  EXPECT_EQ(content("current.log"), "query");
}

TEST_F(FaultInjectionEnvTest, RenamedFileKeepsItsSyncedContentUnderItsNewName) {
  {
    std::unique_ptr<WritableFile> file;
    ASSERT_TRUE(env_.openWritableFile(dir_.file("security.txt.new"), false, &file));
    ASSERT_TRUE(file->append("v2", 2));
    ASSERT_TRUE(file->sync());
    ASSERT_TRUE(file->close());
  }
  ASSERT_TRUE(env_.renameFile(dir_.file("security.txt.new"), dir_.file("security.txt")));
  ASSERT_TRUE(env_.dropUnsyncedData());
  EXPECT_EQ(content("security.txt"), "v2");
  EXPECT_FALSE(Env::posix().fileExists(dir_.file("security.txt.new")));
}

TEST_F(FaultInjectionEnvTest, AllocationsAreCountedAndFailOnlyWhileIntercepted) {
  TextBuffer before;
  before.resize(1000);
  EXPECT_EQ(env_.count(FaultKind::ALLOCATE), 0u) << "counted without interception";

  env_.interceptAllocations(true);
  env_.failAt(FaultKind::ALLOCATE, 2, ENOMEM);
  TextBuffer first;                                 // allocation 1
  EXPECT_THROW(first.resize(100), std::bad_alloc);  // allocation 2
  EXPECT_EQ(first.capacity(), 64u) << "a failed growth keeps the old block";
  first.resize(100);  // once only: allocation 3 succeeds
  EXPECT_EQ(env_.count(FaultKind::ALLOCATE), 3u);

  // A crash is a disk event; memory keeps working.
  env_.crashAt(FaultKind::SYNC, 1);
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(env_.openWritableFile(dir_.file("x"), false, &file));
  EXPECT_FALSE(file->sync());
  EXPECT_NO_THROW(TextBuffer().resize(5000));

  env_.interceptAllocations(false);
  env_.failAt(FaultKind::ALLOCATE, 1, ENOMEM, true);
  EXPECT_NO_THROW(TextBuffer().resize(5000));
  EXPECT_EQ(AllocationGate::installed(), nullptr);
}

TEST_F(FaultInjectionEnvTest, DestroyedEnvRemovesItsAllocationGate) {
  {
    FaultInjectionEnv env;
    env.interceptAllocations(true);
    EXPECT_NE(AllocationGate::installed(), nullptr);
  }
  EXPECT_EQ(AllocationGate::installed(), nullptr);
  EXPECT_NO_THROW(BlockAllocator::release(BlockAllocator::allocate(64), 64));
}

}  // namespace
}  // namespace dovrel::platform
