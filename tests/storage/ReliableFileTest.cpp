// Tests of whole-file saving: recovery from ".bak", the refusals and their messages, and
// that a crash or power loss at any step of a save leaves the old or the new content.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "foundation/Cp866.h"
#include "storage/ReliableFile.h"
#include "storage/StorageTestSupport.h"

namespace dovrel {
namespace {

using platform::FaultKind;
using storage_test::InstalledFaultEnv;
using storage_test::readFile;
using storage_test::TempDir;
using storage_test::writeFile;

bool exists(const std::string& path) { return std::filesystem::exists(path); }

class ReliableFileTest : public ::testing::Test {
 protected:
  // The content, or "(failed)".
  std::string load() {
    TextBuffer buffer;
    if (ReliableFile(path).load(buffer) != RF_DONE) return "(failed)";
    return buffer.toString();
  }
  // The text of a failed load() or save(), "(no failure)" after a success.
  std::string loadMessage() {
    TextBuffer buffer;
    ReliableFile file(path);
    return messageOf(file, file.load(buffer));
  }
  std::string saveMessage(TextView content) {
    ReliableFile file(path);
    return messageOf(file, file.save(content));
  }
  static std::string messageOf(const ReliableFile& file, ReliableFileResult result) {
    return result == RF_DONE ? "(no failure)" : file.failureText(result);
  }

  TempDir dir;
  std::string path = dir.file("security.txt");
};

TEST_F(ReliableFileTest, LoadRecoversFromBakAndRenamesItBack) {
  writeFile(path + ".bak", "old content");
  writeFile(path + ".new", "half written");
  EXPECT_EQ(load(), "old content");
  EXPECT_EQ(readFile(path), "old content");
  EXPECT_FALSE(exists(path + ".bak"));
}

TEST_F(ReliableFileTest, LoadPrefersTheFileAndDropsAStaleBak) {
  writeFile(path, "new");
  writeFile(path + ".bak", "old");
  TextBuffer buffer;
  buffer.append("x:");
  ASSERT_EQ(ReliableFile(path).load(buffer), RF_DONE);
  EXPECT_EQ(buffer.toString(), "x:new");
  EXPECT_FALSE(exists(path + ".bak"));
}

TEST_F(ReliableFileTest, LoadWithoutFileOrBakFails) {
  EXPECT_EQ(loadMessage(),
            std::string("не удалось открыть "_cp866) + path + std::string(" на чтение"_cp866));
}

// A file that exists but cannot be read may be newer than the ".bak" beside it: the load
// fails instead of putting the older ".bak" in its place.
TEST_F(ReliableFileTest, UnreadableFileIsNotReplacedByBak) {
  writeFile(path, "new");
  writeFile(path + ".bak", "old");
  InstalledFaultEnv fault;
  fault.env.failAt(FaultKind::READ, 1, EIO);
  EXPECT_NE(loadMessage(), "(no failure)");
  EXPECT_EQ(readFile(path), "new");
  EXPECT_EQ(readFile(path + ".bak"), "old");
}

TEST_F(ReliableFileTest, SaveReplacesTheContentAndCleansUp) {
  writeFile(path, "first");
  writeFile(path + ".new", "left by a crash");
  ASSERT_EQ(ReliableFile(path).save(TextView("second")), RF_DONE);
  EXPECT_EQ(readFile(path), "second");
  EXPECT_FALSE(exists(path + ".bak"));
  EXPECT_FALSE(exists(path + ".new"));
  ASSERT_EQ(ReliableFile(path).save(TextView()), RF_DONE);
  EXPECT_TRUE(exists(path));
  EXPECT_EQ(readFile(path), "");
}

TEST_F(ReliableFileTest, SaveOverMissingFileFailsAndLeavesNothing) {
  EXPECT_EQ(saveMessage(TextView("x")), std::string("не удалось переименовать "_cp866) + path +
                                            std::string(" при сохранении в него"_cp866));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(ReliableFileTest, FailedStepsReportTheirMessagesAndKeepTheOldContent) {
  struct Case {
    FaultKind kind;
    uint64_t nth;
    std::string message;
  };
  const std::string fresh = path + ".new";
  const Case cases[] = {
      {FaultKind::OPEN, 1,
       std::string("не удалось открыть "_cp866) + fresh + std::string(" на запись"_cp866)},
      {FaultKind::WRITE, 1, std::string("ошибка записи в "_cp866) + fresh},
      {FaultKind::SYNC, 1, std::string("ошибка записи в "_cp866) + fresh},
      {FaultKind::READ, 1,
       std::string("не удалось открыть "_cp866) + fresh + std::string(" на чтение"_cp866)},
      {FaultKind::RENAME, 2, std::string("не удалось переименовать в "_cp866) + path},
      {FaultKind::SYNC_DIRECTORY, 1, std::string("не удалось переименовать в "_cp866) + path},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    writeFile(path, "old");
    {
      InstalledFaultEnv fault;
      fault.env.failAt(c.kind, c.nth, EIO);
      EXPECT_EQ(saveMessage(TextView("new")), c.message);
    }
    const std::string loaded = load();
    // The directory sync fails after the rename, when the new content is already in place.
    EXPECT_EQ(loaded, c.kind == FaultKind::SYNC_DIRECTORY ? "new" : "old");
  }
}

// A power loss at every call of a save: what was not synced is lost, and the next load still
// finds the old or the new content, never a mixture or nothing.
TEST_F(ReliableFileTest, PowerLossAtAnyStepOfSaveKeepsOldOrNewContent) {
  const FaultKind kinds[] = {FaultKind::RENAME, FaultKind::OPEN,          FaultKind::WRITE,
                             FaultKind::SYNC,   FaultKind::CLOSE,         FaultKind::READ,
                             FaultKind::DELETE, FaultKind::SYNC_DIRECTORY};
  for (FaultKind kind : kinds) {
    for (uint64_t nth = 1; nth <= 2; ++nth) {
      SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + " #" + std::to_string(nth));
      std::filesystem::remove(path + ".bak");
      writeFile(path, "old content");
      {
        InstalledFaultEnv fault;
        fault.env.crashAt(kind, nth);
        // Failed or not, the save is over; only what the next load finds matters.
        (void)ReliableFile(path).save(TextView("new content, longer"));
        ASSERT_TRUE(fault.env.dropUnsyncedData());
      }
      const std::string loaded = load();
      EXPECT_TRUE(loaded == "old content" || loaded == "new content, longer") << loaded;
    }
  }
}

}  // namespace
}  // namespace dovrel
