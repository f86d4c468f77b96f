// Whole files, the buffered writable file and directories through the POSIX Env.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "support/TempDir.h"

namespace dovrel::platform {
namespace {

using testsupport::TempDir;

class EnvTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.valid()); }

  void put(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_.file(name), std::ios::binary) << bytes;
  }
  std::string get(const std::string& name) {
    std::string content;
    Status status = env_.readWholeFile(dir_.file(name), &content);
    EXPECT_TRUE(status) << status.toString();
    return content;
  }

  Env& env_ = Env::posix();
  TempDir dir_;
};

TEST_F(EnvTest, WritableFileBytesAreVisibleAfterFlushAndKeptInOrder) {
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(env_.openWritableFile(dir_.file("current.log"), false, &file));
  ASSERT_TRUE(file->append("abc", 3));
  ASSERT_TRUE(file->flush());
  EXPECT_EQ(get("current.log"), "abc");
  // Pieces below, at and above the buffer's size, mixed, must come out in order.
  std::string expected = "abc";
  for (std::size_t n : {10u, 65536u, 65530u, 200000u, 1u, 65535u}) {
    const std::string piece(n, static_cast<char>('a' + n % 26));
    ASSERT_TRUE(file->append(piece.data(), piece.size()));
    expected += piece;
  }
  ASSERT_TRUE(file->sync());
  EXPECT_EQ(get("current.log"), expected);
  ASSERT_TRUE(file->append("end", 3));
  ASSERT_TRUE(file->close());
  EXPECT_EQ(get("current.log"), expected + "end");
  EXPECT_EQ(file->append("x", 1).error(), EBADF);
}

TEST_F(EnvTest, WritableFileDestructionFlushes) {
  {
    std::unique_ptr<WritableFile> file;
    ASSERT_TRUE(env_.openWritableFile(dir_.file("f"), false, &file));
    ASSERT_TRUE(file->append("pending", 7));
  }
  EXPECT_EQ(get("f"), "pending");
}

TEST_F(EnvTest, WritableFileAppendKeepsAndTruncateDropsTheOldContent) {
  put("f", "old ");
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(env_.openWritableFile(dir_.file("f"), true, &file));
  ASSERT_TRUE(file->append("new", 3));
  ASSERT_TRUE(file->close());
  EXPECT_EQ(get("f"), "old new");
  ASSERT_TRUE(env_.openWritableFile(dir_.file("f"), false, &file));
  ASSERT_TRUE(file->close());
  EXPECT_EQ(get("f"), "");
}

TEST_F(EnvTest, ReadWholeFileAppendsAndReportsAMissingFile) {
  put("f", std::string(150000, 'q'));
  std::string content = "prefix";
  ASSERT_TRUE(env_.readWholeFile(dir_.file("f"), &content));
  EXPECT_EQ(content, "prefix" + std::string(150000, 'q'));
  Status status = env_.readWholeFile(dir_.file("missing"), &content);
  EXPECT_EQ(status.error(), ENOENT);
  EXPECT_EQ(status.path(), dir_.file("missing"));
}

TEST_F(EnvTest, RenameDeleteExistsSizeAndTruncate) {
  put("a.new", "12345");
  ASSERT_TRUE(env_.renameFile(dir_.file("a.new"), dir_.file("a")));
  EXPECT_FALSE(env_.fileExists(dir_.file("a.new")));
  EXPECT_TRUE(env_.fileExists(dir_.file("a")));
  uint64_t size = 0;
  ASSERT_TRUE(env_.fileSize(dir_.file("a"), &size));
  EXPECT_EQ(size, 5u);
  // Renaming over an existing file replaces it.
  put("b", "xy");
  ASSERT_TRUE(env_.renameFile(dir_.file("b"), dir_.file("a")));
  EXPECT_EQ(get("a"), "xy");
  ASSERT_TRUE(env_.truncateFile(dir_.file("a"), 1));
  EXPECT_EQ(get("a"), "x");
  ASSERT_TRUE(env_.truncateFile(dir_.file("a"), 3));
  EXPECT_EQ(get("a"), std::string("x\0\0", 3));
  ASSERT_TRUE(env_.deleteFile(dir_.file("a")));
  EXPECT_FALSE(env_.fileExists(dir_.file("a")));
  EXPECT_EQ(env_.deleteFile(dir_.file("a")).error(), ENOENT);
  EXPECT_EQ(env_.renameFile(dir_.file("a"), dir_.file("c")).error(), ENOENT);
  EXPECT_EQ(env_.fileSize(dir_.file("a"), &size).error(), ENOENT);
}

TEST_F(EnvTest, DirectoriesAreCreatedOnceAndSynced) {
  const std::string sub = dir_.file("DATA");
  ASSERT_TRUE(env_.createDirectory(sub));
  ASSERT_TRUE(env_.createDirectory(sub));  // already there
  ASSERT_TRUE(env_.syncDirectory(sub));
  ASSERT_TRUE(env_.syncDirectory(sub + "/"));
  put("plain", "");
  EXPECT_EQ(env_.createDirectory(dir_.file("plain")).error(), ENOTDIR);
  EXPECT_EQ(env_.syncDirectory(dir_.file("none")).error(), ENOENT);
  EXPECT_EQ(env_.createDirectory(dir_.file("none/deeper")).error(), ENOENT);
}

mode_t modeOf(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 07777;
}

// Sets the umask for one test and puts the old one back.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : old_(::umask(mask)) {}
  ~UmaskScope() { ::umask(old_); }
  UmaskScope(const UmaskScope&) = delete;
  UmaskScope& operator=(const UmaskScope&) = delete;

 private:
  mode_t old_;
};

TEST_F(EnvTest, FilesAndDirectoriesAreOwnerOnlyWhateverTheUmask) {
  // 0 lets every bit through; 0277 takes even the owner's write bit.
  for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
    UmaskScope scope(mask);
    const struct {
      const char* name;
      mode_t before;  // 0: the file does not exist yet
      bool pageFile;
      bool append;
    } cases[] = {
        {"security_log.txt", 0, false, true},
        {"current.log", 0, false, false},
        {"security.txt.new", 0644, false, false},  // left by an older build
        {"security_log.old", 0666, false, true},
        {"t.table", 0, true, false},
        {"t.meta", 0644, true, false},
    };
    for (const auto& c : cases) {
      const std::string path = dir_.file(c.name);
      std::filesystem::remove(path);
      if (c.before != 0) {
        put(c.name, "old");
        ASSERT_EQ(::chmod(path.c_str(), c.before), 0);
      }
      if (c.pageFile) {
        std::unique_ptr<PageFile> file;
        const OpenMode mode = c.before != 0 ? OpenMode::OPEN_EXISTING : OpenMode::CREATE_ALWAYS;
        ASSERT_TRUE(env_.openPageFile(path, mode, &file)) << c.name;
      } else {
        std::unique_ptr<WritableFile> file;
        ASSERT_TRUE(env_.openWritableFile(path, c.append, &file)) << c.name;
        ASSERT_TRUE(file->append("x", 1));
      }
      EXPECT_EQ(modeOf(path), 0600u) << c.name << " under umask " << std::oct << mask;
    }
    const std::string sub = dir_.file("DATA");
    std::filesystem::remove_all(sub);
    ASSERT_TRUE(env_.createDirectory(sub));
    EXPECT_EQ(modeOf(sub), 0700u) << "umask " << std::oct << mask;
  }
}

TEST_F(EnvTest, ListDirectoryMatchesRegularFilesOnlyAndSorts) {
  for (const char* name : {"b.structure", "a.structure", "a.structure.bak", "structure", "c.table"})
    put(name, "");
  ASSERT_EQ(::mkdir(dir_.file("d.structure").c_str(), 0777), 0);
  ASSERT_EQ(::symlink("a.structure", dir_.file("link.structure").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", dir_.file("dangling.structure").c_str()), 0);
  std::vector<std::string> names{"stale"};
  ASSERT_TRUE(env_.listDirectory(dir_.path(), "*.structure", &names));
  EXPECT_EQ(names, (std::vector<std::string>{"a.structure", "b.structure", "link.structure"}));
  ASSERT_TRUE(env_.listDirectory(dir_.path() + "/", "a.*", &names));
  EXPECT_EQ(names, (std::vector<std::string>{"a.structure", "a.structure.bak"}));
  ASSERT_TRUE(env_.listDirectory(dir_.path(), "zzz*", &names));
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(env_.listDirectory(dir_.file("none"), "*", &names).error(), ENOENT);
}

TEST(EnvPathTest, DirectoryOfKeepsTheLastSlash) {
  EXPECT_EQ(directoryOf("/opt/dovrel/bin/dovrel"), "/opt/dovrel/bin/");
  EXPECT_EQ(directoryOf("./dovrel"), "./");
  EXPECT_EQ(directoryOf("/dovrel"), "/");
  EXPECT_EQ(directoryOf("dovrel"), "");
  EXPECT_EQ(directoryOf("DATA/"), "DATA/");
  EXPECT_EQ(directoryOf(""), "");
}

TEST(EnvPathTest, StatusTextNamesThePath) {
  EXPECT_EQ(Status::ok().toString(), "OK");
  const std::string text = Status::fromErrno(ENOENT, "DATA/t.table").toString();
  EXPECT_EQ(text.rfind("DATA/t.table: ", 0), 0u) << text;
  EXPECT_GT(text.size(), std::string("DATA/t.table: ").size());
}

}  // namespace
}  // namespace dovrel::platform
