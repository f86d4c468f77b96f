// Tests of the page-buffered file, on a disk file system through the page cache and with
// direct I/O, and on tmpfs (where the page file is buffered in any case): padding, the two
// buffer paths, rewind, I/O counts and failure messages.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <random>
#include <string>

#include "foundation/Cp866.h"
#include "storage/BufferedFile.h"
#include "storage/StorageTestSupport.h"

namespace dovrel {
namespace {

using platform::FaultKind;
using storage_test::InstalledFaultEnv;
using storage_test::readFile;
using storage_test::sameBytes;
using storage_test::TempDir;
using storage_test::writeFile;

constexpr uint32_t PAGE = BufferedFile::BUFFER_SIZE;

std::string bytes(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

// The text of a failed call, "(no failure)" after a success.
std::string messageOf(BufferedFileResult result) {
  return result == BF_DONE ? "(no failure)" : std::string(bufferedFileText(result));
}

// The text of a failed open, "(no failure)" after a success.
std::string openMessage(const std::string& path, bool createNew) {
  std::unique_ptr<BufferedFile> file;
  return messageOf(BufferedFile::open(path, createNew, file));
}

// The file at `path`, created or opened; null (and the test failed) when that fails.
std::unique_ptr<BufferedFile> openFile(const std::string& path, bool createNew) {
  std::unique_ptr<BufferedFile> file;
  EXPECT_EQ(messageOf(BufferedFile::open(path, createNew, file)), "(no failure)");
  return file;
}

// The logical end after an append or a padding that must succeed.
uint64_t appended(BufferedFile& f, uint64_t offset, const void* bytes, uint64_t length) {
  uint64_t end = ~uint64_t{0};
  EXPECT_EQ(messageOf(f.append(offset, bytes, length, end)), "(no failure)");
  return end;
}
uint64_t padded(BufferedFile& f, uint64_t offset) {
  uint64_t end = ~uint64_t{0};
  EXPECT_EQ(messageOf(f.padToPage(offset, end)), "(no failure)");
  return end;
}
uint64_t sizeOf(BufferedFile& f) {
  uint64_t bytes = ~uint64_t{0};
  EXPECT_EQ(messageOf(f.size(bytes)), "(no failure)");
  return bytes;
}

// The parameter is the parent directory, with " direct" when the files are opened O_DIRECT.
class BufferedFileTest : public ::testing::TestWithParam<std::string> {
 protected:
  static std::string parentOf(const std::string& param) { return param.substr(0, param.find(' ')); }
  static platform::PageCaching cachingOf(const std::string& param) {
    return param.ends_with(" direct") ? platform::PageCaching::DIRECT
                                      : platform::PageCaching::SYSTEM_CACHE;
  }
  storage_test::PageCachingScope caching{cachingOf(GetParam())};
  TempDir dir{parentOf(GetParam())};
  std::string path = dir.file("f");
};

INSTANTIATE_TEST_SUITE_P(FileSystems, BufferedFileTest,
                         ::testing::Values("/tmp", "/tmp direct", "/dev/shm"));

TEST_P(BufferedFileTest, ShortAppendIsPaddedWithDdOnClose) {
  {
    auto f = openFile(path, true);
    appended(*f, 0, "0123456789", 10);
  }
  EXPECT_TRUE(sameBytes(readFile(path), "0123456789" + std::string(PAGE - 10, '\xDD')));
}

TEST_P(BufferedFileTest, SyncAndPadToPageLeaveTheirOwnFillBytes) {
  {
    auto f = openFile(path, true);
    uint64_t end = appended(*f, 0, "abcde", 5);
    ASSERT_EQ(messageOf(f->sync()),
              "(no failure)");  // the page goes out padded, but appending continues in it
    end = appended(*f, end, "fgh", 3);
    end = padded(*f, end);
    EXPECT_EQ(end, PAGE);
    EXPECT_EQ(padded(*f, end), PAGE);  // nothing to pad on a page boundary
    appended(*f, end, "ij", 2);
  }
  EXPECT_TRUE(sameBytes(readFile(path), "abcdefgh" + std::string(PAGE - 8, '\xEE') + "ij" +
                                            std::string(PAGE - 2, '\xDD')));
}

TEST_P(BufferedFileTest, OpeningRefusesFilesItCannotUse) {
  writeFile(path, std::string(PAGE + 1, 'x'));
  EXPECT_EQ(openMessage(path, false), "размер файла не кратен размеру буфера"_cp1251);
  EXPECT_EQ(openMessage(dir.file("missing"), false), "не удалось открыть файл"_cp1251);
  EXPECT_EQ(openMessage(dir.file("no/such/dir"), true), "не удалось создать файл"_cp1251);
  auto holder = openFile(dir.file("held"), true);
  EXPECT_EQ(openMessage(dir.file("held"), false), "не удалось открыть файл"_cp1251);
  // A file refused for its size is left as it was found.
  EXPECT_EQ(readFile(path), std::string(PAGE + 1, 'x'));
}

TEST_P(BufferedFileTest, AccessBeyondTheLogicalEndFails) {
  auto f = openFile(path, true);
  appended(*f, 0, "abc", 3);
  char buffer[4];
  EXPECT_EQ(messageOf(f->read(1, buffer, 3)), "чтение за пределами файла"_cp1251);
  EXPECT_EQ(messageOf(f->read(4, buffer, 0)), "чтение за пределами файла"_cp1251);
  EXPECT_EQ(messageOf(f->write(2, "xy", 2)), "произвольная запись за пределами файла"_cp1251);
  EXPECT_EQ(messageOf(f->read(3, buffer, 0)), "(no failure)");  // an empty read at the end
}

TEST_P(BufferedFileTest, AppendBufferIsReadWithoutDiskAccessAndWholePagesAreNotRead) {
  InstalledFaultEnv fault;
  auto f = openFile(path, true);
  const std::string data = bytes(3 * PAGE + 100, 1);
  appended(*f, 0, data.data(), data.size());
  fault.env.resetCounts();
  std::string got(60, '\0');
  ASSERT_EQ(messageOf(f->read(3 * PAGE + 20, got.data(), got.size())), "(no failure)");
  EXPECT_EQ(got, data.substr(3 * PAGE + 20, 60));
  EXPECT_EQ(fault.env.count(FaultKind::READ), 0u);

  const std::string page = bytes(PAGE, 9);
  ASSERT_EQ(messageOf(f->write(PAGE, page.data(), PAGE)),
            "(no failure)");  // a page on disk, not in memory
  EXPECT_EQ(fault.env.count(FaultKind::READ), 0u);
  ASSERT_EQ(messageOf(f->write(2 * PAGE + 10, "xy", 2)),
            "(no failure)");  // a partial page must be read first
  EXPECT_EQ(fault.env.count(FaultKind::READ), 1u);
  ASSERT_EQ(messageOf(f->read(PAGE, got.data(), got.size())), "(no failure)");
  EXPECT_EQ(got, page.substr(0, 60));
}

// A read across pages on disk takes the bytes of a changed random-access page from memory
// and the rest from the file, in one transfer per run of pages that no buffer holds.
TEST_P(BufferedFileTest, ReadsAcrossPagesOnDiskSeeTheChangedRandomAccessPage) {
  InstalledFaultEnv fault;
  auto f = openFile(path, true);
  const std::string data = bytes(6 * PAGE, 4);
  appended(*f, 0, data.data(), data.size());
  appended(*f, 6 * PAGE, "end", 3);
  ASSERT_EQ(messageOf(f->write(3 * PAGE + 5, "changed", 7)),
            "(no failure)");  // page 3 is now the changed random-access page
  fault.env.resetCounts();
  std::string got(4 * PAGE, '\0');
  ASSERT_EQ(messageOf(f->read(PAGE + 100, got.data(), got.size())), "(no failure)");
  std::string want = data.substr(PAGE + 100, 4 * PAGE);
  want.replace(2 * PAGE - 100 + 5, 7, "changed");
  EXPECT_TRUE(sameBytes(got, want));
  EXPECT_EQ(fault.env.count(FaultKind::READ), 2u);   // pages 1-2, then the rest of 4
  EXPECT_EQ(fault.env.count(FaultKind::WRITE), 0u);  // the changed page stays in memory
  fault.env.resetCounts();
  ASSERT_EQ(messageOf(f->read(5 * PAGE + 10, got.data(), PAGE - 7)),
            "(no failure)");  // on into the append page, which is not read
  EXPECT_TRUE(sameBytes(got.substr(0, PAGE - 7), data.substr(5 * PAGE + 10) + "end"));
  EXPECT_EQ(fault.env.count(FaultKind::READ), 1u);
  ASSERT_EQ(messageOf(f->sync()), "(no failure)");
  std::string whole(6 * PAGE + 3, '\0');
  ASSERT_EQ(messageOf(f->read(0, whole.data(), whole.size())), "(no failure)");
  want = data + "end";
  want.replace(3 * PAGE + 5, 7, "changed");
  EXPECT_TRUE(sameBytes(whole, want));
}

// Random appends, writes, reads and syncs against a byte-string model of the file.
TEST_P(BufferedFileTest, RandomAccessMatchesModel) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::string model;
  {
    auto f = openFile(path, true);
    for (int step = 0; step < 400; ++step) {
      const int what = rng() % 10;
      if (what < 4 || model.empty()) {
        const std::string add = bytes(rng() % (PAGE + PAGE / 2), static_cast<char>(step));
        ASSERT_EQ(appended(*f, model.size(), add.data(), add.size()), model.size() + add.size());
        model += add;
      } else if (what < 6) {
        const uint64_t at = rng() % model.size();
        const std::string put = bytes(rng() % (model.size() - at + 1), static_cast<char>(step));
        ASSERT_EQ(messageOf(f->write(at, put.data(), put.size())), "(no failure)");
        model.replace(at, put.size(), put);
      } else if (what < 9) {
        const uint64_t at = rng() % model.size();
        std::string got(rng() % (model.size() - at + 1), '\0');
        ASSERT_EQ(messageOf(f->read(at, got.data(), got.size())), "(no failure)");
        ASSERT_TRUE(sameBytes(got, model.substr(at, got.size()))) << "read at " << at;
      } else {
        ASSERT_EQ(messageOf(f->sync()), "(no failure)");
      }
    }
  }
  const std::size_t padded = (model.size() + PAGE - 1) / PAGE * PAGE;
  EXPECT_TRUE(sameBytes(readFile(path), model + std::string(padded - model.size(), '\xDD')));
}

TEST_P(BufferedFileTest, RewindDropsLaterBytesAndCutsTheFileAtSync) {
  const std::string data = bytes(200000, 3);
  {
    auto f = openFile(path, true);
    padded(*f, appended(*f, 0, data.data(), data.size()));
    std::string got(10, '\0');
    ASSERT_EQ(messageOf(f->read(PAGE + 10, got.data(), got.size())),
              "(no failure)");  // the page that becomes the append page
    ASSERT_EQ(messageOf(f->write(PAGE + 20, "RA", 2)), "(no failure)");
    ASSERT_EQ(messageOf(f->rewind(70000)), "(no failure)");
    EXPECT_EQ(messageOf(f->read(69999, got.data(), 2)), "чтение за пределами файла"_cp1251);
    EXPECT_EQ(appended(*f, 70000, "tail", 4), 70004u);
    ASSERT_EQ(messageOf(f->read(69996, got.data(), 8)), "(no failure)");
    EXPECT_EQ(got.substr(0, 8), data.substr(69996, 4) + "tail");
    ASSERT_EQ(messageOf(f->sync()), "(no failure)");
    EXPECT_EQ(sizeOf(*f), 2u * PAGE);
  }
  std::string expected = data.substr(0, 70000) + "tail";
  expected.replace(PAGE + 20, 2, "RA");
  EXPECT_TRUE(
      sameBytes(readFile(path), expected + std::string(2 * PAGE - expected.size(), '\xDD')));
}

TEST_P(BufferedFileTest, AppendingAtA16MiBBoundaryCutsOffOldTail) {
  writeFile(path, std::string(40 * PAGE, 'o'));
  auto f = openFile(path, false);
  ASSERT_EQ(messageOf(f->rewind(0)), "(no failure)");
  const std::string page = bytes(PAGE, 5);
  appended(*f, 0, page.data(), PAGE);
  EXPECT_EQ(sizeOf(*f), PAGE);
}

TEST_P(BufferedFileTest, OperatingSystemFailuresRaiseTheirMessages) {
  InstalledFaultEnv fault;
  const std::string data = bytes(2 * PAGE, 2);
  auto fresh = [&] {
    auto f = openFile(path, true);
    appended(*f, 0, data.data(), data.size());
    return f;
  };
  std::string got(8, '\0');
  auto f = fresh();
  fault.env.failAt(FaultKind::READ, 1, EIO);
  EXPECT_EQ(messageOf(f->read(0, got.data(), 8)), "не удалось прочитать из файла"_cp1251);
  fault.env.failAt(FaultKind::WRITE, 1, ENOSPC);
  uint64_t end = 0;
  EXPECT_EQ(messageOf(f->append(2 * PAGE, data.data(), PAGE, end)),
            "не удалось записать в файл"_cp1251);
  f.reset();  // releases the lock before the file is created again
  f = fresh();
  fault.env.failAt(FaultKind::SYNC, 1, EIO);
  EXPECT_EQ(messageOf(f->sync()), "не удалось записать в файл"_cp1251);
  fault.env.failAt(FaultKind::TRUNCATE, 1, EIO);
  EXPECT_EQ(messageOf(f->sync()), "не удалось установить конец файла"_cp1251);
  fault.env.failAt(FaultKind::CLOSE, 1, EIO);
  EXPECT_EQ(messageOf(f->close()), "не удалось закрыть файл"_cp1251);
  f.reset();
  fault.env.failAt(FaultKind::SIZE, 1, EIO);
  EXPECT_EQ(openMessage(path, false), "не удалось узнать размер файла"_cp1251);
}

}  // namespace
}  // namespace dovrel
