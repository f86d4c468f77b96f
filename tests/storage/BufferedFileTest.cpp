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

template <typename F>
std::string messageOf(F&& action) {
  try {
    action();
  } catch (const BufferedFileError& e) {
    return e.message();
  }
  return "(no failure)";
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
    BufferedFile f(path, true);
    f.append(0, "0123456789", 10);
  }
  EXPECT_TRUE(sameBytes(readFile(path), "0123456789" + std::string(PAGE - 10, '\xDD')));
}

TEST_P(BufferedFileTest, SyncAndPadToPageLeaveTheirOwnFillBytes) {
  {
    BufferedFile f(path, true);
    uint64_t end = f.append(0, "abcde", 5);
    f.sync();  // the page goes out padded, but appending continues in it
    end = f.append(end, "fgh", 3);
    end = f.padToPage(end);
    EXPECT_EQ(end, PAGE);
    EXPECT_EQ(f.padToPage(end), PAGE);  // nothing to pad on a page boundary
    f.append(end, "ij", 2);
  }
  EXPECT_TRUE(sameBytes(readFile(path), "abcdefgh" + std::string(PAGE - 8, '\xEE') + "ij" +
                                            std::string(PAGE - 2, '\xDD')));
}

TEST_P(BufferedFileTest, OpeningRefusesFilesItCannotUse) {
  writeFile(path, std::string(PAGE + 1, 'x'));
  EXPECT_EQ(messageOf([&] { BufferedFile f(path, false); }),
            "размер файла не кратен размеру буфера"_cp1251);
  EXPECT_EQ(messageOf([&] { BufferedFile f(dir.file("missing"), false); }),
            "не удалось открыть файл"_cp1251);
  EXPECT_EQ(messageOf([&] { BufferedFile f(dir.file("no/such/dir"), true); }),
            "не удалось создать файл"_cp1251);
  BufferedFile holder(dir.file("held"), true);
  EXPECT_EQ(messageOf([&] { BufferedFile f(dir.file("held"), false); }),
            "не удалось открыть файл"_cp1251);
}

TEST_P(BufferedFileTest, AccessBeyondTheLogicalEndFails) {
  BufferedFile f(path, true);
  f.append(0, "abc", 3);
  char buffer[4];
  EXPECT_EQ(messageOf([&] { f.read(1, buffer, 3); }), "чтение за пределами файла"_cp1251);
  EXPECT_EQ(messageOf([&] { f.read(4, buffer, 0); }), "чтение за пределами файла"_cp1251);
  EXPECT_EQ(messageOf([&] { f.write(2, "xy", 2); }),
            "произвольная запись за пределами файла"_cp1251);
  f.read(3, buffer, 0);  // an empty read at the end is fine
}

TEST_P(BufferedFileTest, AppendBufferIsReadWithoutDiskAccessAndWholePagesAreNotRead) {
  InstalledFaultEnv fault;
  BufferedFile f(path, true);
  const std::string data = bytes(3 * PAGE + 100, 1);
  f.append(0, data.data(), data.size());
  fault.env.resetCounts();
  std::string got(60, '\0');
  f.read(3 * PAGE + 20, got.data(), got.size());
  EXPECT_EQ(got, data.substr(3 * PAGE + 20, 60));
  EXPECT_EQ(fault.env.count(FaultKind::READ), 0u);

  const std::string page = bytes(PAGE, 9);
  f.write(PAGE, page.data(), PAGE);  // a page on disk, not in memory
  EXPECT_EQ(fault.env.count(FaultKind::READ), 0u);
  f.write(2 * PAGE + 10, "xy", 2);  // a partial page must be read first
  EXPECT_EQ(fault.env.count(FaultKind::READ), 1u);
  f.read(PAGE, got.data(), got.size());
  EXPECT_EQ(got, page.substr(0, 60));
}

// A read across pages on disk takes the bytes of a changed random-access page from memory
// and the rest from the file, in one transfer per run of pages that no buffer holds.
TEST_P(BufferedFileTest, ReadsAcrossPagesOnDiskSeeTheChangedRandomAccessPage) {
  InstalledFaultEnv fault;
  BufferedFile f(path, true);
  const std::string data = bytes(6 * PAGE, 4);
  f.append(0, data.data(), data.size());
  f.append(6 * PAGE, "end", 3);
  f.write(3 * PAGE + 5, "changed", 7);  // page 3 is now the changed random-access page
  fault.env.resetCounts();
  std::string got(4 * PAGE, '\0');
  f.read(PAGE + 100, got.data(), got.size());
  std::string want = data.substr(PAGE + 100, 4 * PAGE);
  want.replace(2 * PAGE - 100 + 5, 7, "changed");
  EXPECT_TRUE(sameBytes(got, want));
  EXPECT_EQ(fault.env.count(FaultKind::READ), 2u);   // pages 1-2, then the rest of 4
  EXPECT_EQ(fault.env.count(FaultKind::WRITE), 0u);  // the changed page stays in memory
  fault.env.resetCounts();
  f.read(5 * PAGE + 10, got.data(), PAGE - 7);  // on into the append page, which is not read
  EXPECT_TRUE(sameBytes(got.substr(0, PAGE - 7), data.substr(5 * PAGE + 10) + "end"));
  EXPECT_EQ(fault.env.count(FaultKind::READ), 1u);
  f.sync();
  std::string whole(6 * PAGE + 3, '\0');
  f.read(0, whole.data(), whole.size());
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
    BufferedFile f(path, true);
    for (int step = 0; step < 400; ++step) {
      const int what = rng() % 10;
      if (what < 4 || model.empty()) {
        const std::string add = bytes(rng() % (PAGE + PAGE / 2), static_cast<char>(step));
        ASSERT_EQ(f.append(model.size(), add.data(), add.size()), model.size() + add.size());
        model += add;
      } else if (what < 6) {
        const uint64_t at = rng() % model.size();
        const std::string put = bytes(rng() % (model.size() - at + 1), static_cast<char>(step));
        f.write(at, put.data(), put.size());
        model.replace(at, put.size(), put);
      } else if (what < 9) {
        const uint64_t at = rng() % model.size();
        std::string got(rng() % (model.size() - at + 1), '\0');
        f.read(at, got.data(), got.size());
        ASSERT_TRUE(sameBytes(got, model.substr(at, got.size()))) << "read at " << at;
      } else {
        f.sync();
      }
    }
  }
  const std::size_t padded = (model.size() + PAGE - 1) / PAGE * PAGE;
  EXPECT_TRUE(sameBytes(readFile(path), model + std::string(padded - model.size(), '\xDD')));
}

TEST_P(BufferedFileTest, RewindDropsLaterBytesAndCutsTheFileAtSync) {
  const std::string data = bytes(200000, 3);
  {
    BufferedFile f(path, true);
    f.padToPage(f.append(0, data.data(), data.size()));
    std::string got(10, '\0');
    f.read(PAGE + 10, got.data(), got.size());  // the page that becomes the append page
    f.write(PAGE + 20, "RA", 2);
    f.rewind(70000);
    EXPECT_EQ(messageOf([&] { f.read(69999, got.data(), 2); }), "чтение за пределами файла"_cp1251);
    EXPECT_EQ(f.append(70000, "tail", 4), 70004u);
    f.read(69996, got.data(), 8);
    EXPECT_EQ(got.substr(0, 8), data.substr(69996, 4) + "tail");
    f.sync();
    EXPECT_EQ(f.size(), 2u * PAGE);
  }
  std::string expected = data.substr(0, 70000) + "tail";
  expected.replace(PAGE + 20, 2, "RA");
  EXPECT_TRUE(
      sameBytes(readFile(path), expected + std::string(2 * PAGE - expected.size(), '\xDD')));
}

TEST_P(BufferedFileTest, AppendingAtA16MiBBoundaryCutsOffOldTail) {
  writeFile(path, std::string(40 * PAGE, 'o'));
  BufferedFile f(path, false);
  f.rewind(0);
  const std::string page = bytes(PAGE, 5);
  f.append(0, page.data(), PAGE);
  EXPECT_EQ(f.size(), PAGE);
}

TEST_P(BufferedFileTest, OperatingSystemFailuresRaiseTheirMessages) {
  InstalledFaultEnv fault;
  const std::string data = bytes(2 * PAGE, 2);
  auto fresh = [&] {
    auto f = std::make_unique<BufferedFile>(path, true);
    f->append(0, data.data(), data.size());
    return f;
  };
  std::string got(8, '\0');
  auto f = fresh();
  fault.env.failAt(FaultKind::READ, 1, EIO);
  EXPECT_EQ(messageOf([&] { f->read(0, got.data(), 8); }), "не удалось прочитать из файла"_cp1251);
  fault.env.failAt(FaultKind::WRITE, 1, ENOSPC);
  EXPECT_EQ(messageOf([&] { f->append(2 * PAGE, data.data(), PAGE); }),
            "не удалось записать в файл"_cp1251);
  f.reset();  // releases the lock before the file is created again
  f = fresh();
  fault.env.failAt(FaultKind::SYNC, 1, EIO);
  EXPECT_EQ(messageOf([&] { f->sync(); }), "не удалось записать в файл"_cp1251);
  fault.env.failAt(FaultKind::TRUNCATE, 1, EIO);
  EXPECT_EQ(messageOf([&] { f->sync(); }), "не удалось установить конец файла"_cp1251);
  fault.env.failAt(FaultKind::CLOSE, 1, EIO);
  EXPECT_EQ(messageOf([&] { f->close(); }), "не удалось закрыть файл"_cp1251);
  f.reset();
  fault.env.failAt(FaultKind::SIZE, 1, EIO);
  EXPECT_EQ(messageOf([&] { BufferedFile g(path, false); }),
            "не удалось узнать размер файла"_cp1251);
}

}  // namespace
}  // namespace dovrel
