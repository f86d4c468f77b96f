// Page files on a disk file system (unbuffered I/O and through the page cache) and on
// tmpfs, against a byte-string model of the file's content.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "platform/Env.h"
#include "platform/PosixPageFile.h"
#include "support/TempDir.h"

namespace dovrel::platform {
namespace {

using testsupport::TempDir;

constexpr std::size_t PAGE = 65536;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using AlignedBytes = std::unique_ptr<unsigned char[], FreeDeleter>;

AlignedBytes alignedBytes(std::size_t n) {
  return AlignedBytes(static_cast<unsigned char*>(std::aligned_alloc(4096, n)));
}

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xFF);
  return s;
}

struct Setting {
  const char* name;
  const char* parent;
  bool direct;  // false: opened as on a file system that refuses unbuffered I/O
};

// Runs every case on a directory of the real disk and on tmpfs, unbuffered where the file
// system allows it, and once buffered.
class PageFileTest : public ::testing::TestWithParam<Setting> {
 protected:
  void SetUp() override {
    const char* parent = GetParam().parent;
    if (::access(parent, W_OK) != 0) GTEST_SKIP() << parent << " is not writable";
    dir_ = std::make_unique<TempDir>(parent);
    ASSERT_TRUE(dir_->valid());
    path_ = dir_->file("pages.table");
  }

  std::unique_ptr<PageFile> open(OpenMode mode) {
    std::unique_ptr<PageFile> file;
    Status status = openRaw(mode, &file);
    EXPECT_TRUE(status) << status.toString();
    return file;
  }

  Status openRaw(OpenMode mode, std::unique_ptr<PageFile>* file) {
    if (GetParam().direct) return PosixPageFile::open(path_, mode, file, true);
    return Env::posix().openPageFile(path_, mode, file);  // the page cache, by default
  }

  std::string readAll(PageFile& file) {
    uint64_t size = 0;
    EXPECT_TRUE(file.size(&size));
    std::string content(size, '\0');
    std::size_t got = 0;
    EXPECT_TRUE(file.readAt(0, content.data(), content.size(), &got));
    EXPECT_EQ(got, size);
    return content;
  }

  std::unique_ptr<TempDir> dir_;
  std::string path_;
};

TEST_P(PageFileTest, WholePagesRoundTripAtPageOffsets) {
  auto file = open(OpenMode::CREATE_ALWAYS);
  ASSERT_TRUE(file);
  AlignedBytes page = alignedBytes(PAGE);
  // Written out of order, so the second page is first created as a hole.
  for (unsigned index : {0u, 2u, 1u}) {
    const std::string bytes = pattern(PAGE, index);
    std::memcpy(page.get(), bytes.data(), PAGE);
    std::size_t done = 0;
    ASSERT_TRUE(file->writeAt(index * PAGE, page.get(), PAGE, &done));
    EXPECT_EQ(done, PAGE);
  }
  uint64_t size = 0;
  ASSERT_TRUE(file->size(&size));
  EXPECT_EQ(size, 3 * PAGE);
  for (unsigned index : {1u, 0u, 2u}) {
    std::memset(page.get(), 0, PAGE);
    std::size_t done = 0;
    ASSERT_TRUE(file->readAt(index * PAGE, page.get(), PAGE, &done));
    ASSERT_EQ(done, PAGE);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(page.get()), PAGE), pattern(PAGE, index));
  }
  ASSERT_TRUE(file->sync());
}

// Zeroing reads back as zero bytes between untouched neighbours and keeps the size,
// whatever way the file system offers (a zeroed range, a hole, written zeros).
TEST_P(PageFileTest, ZeroedRangeReadsAsZeroAndKeepsTheSize) {
  auto file = open(OpenMode::CREATE_ALWAYS);
  ASSERT_TRUE(file);
  const std::string bytes = pattern(4 * PAGE, 5);
  std::size_t done = 0;
  ASSERT_TRUE(file->writeAt(0, bytes.data(), bytes.size(), &done));
  ASSERT_TRUE(file->zeroRange(PAGE, 2 * PAGE));
  ASSERT_TRUE(file->zeroRange(4 * PAGE - 4096, 4096));
  ASSERT_TRUE(file->sync());
  uint64_t size = 0;
  ASSERT_TRUE(file->size(&size));
  EXPECT_EQ(size, 4 * PAGE);
  std::string expected = bytes;
  std::memset(expected.data() + PAGE, 0, 2 * PAGE);
  std::memset(expected.data() + 4 * PAGE - 4096, 0, 4096);
  AlignedBytes all = alignedBytes(4 * PAGE);
  ASSERT_TRUE(file->readAt(0, all.get(), 4 * PAGE, &done));
  ASSERT_EQ(done, 4 * PAGE);
  EXPECT_TRUE(std::memcmp(all.get(), expected.data(), 4 * PAGE) == 0);
}

TEST_P(PageFileTest, ReadAtOrPastTheEndIsShortNotAnError) {
  auto file = open(OpenMode::CREATE_ALWAYS);
  ASSERT_TRUE(file);
  const std::string bytes = pattern(PAGE + 100, 3);
  std::size_t done = 0;
  ASSERT_TRUE(file->writeAt(0, bytes.data(), bytes.size(), &done));
  AlignedBytes page = alignedBytes(PAGE);
  ASSERT_TRUE(file->readAt(PAGE, page.get(), PAGE, &done));
  EXPECT_EQ(done, 100u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(page.get()), 100), bytes.substr(PAGE));
  ASSERT_TRUE(file->readAt(2 * PAGE, page.get(), PAGE, &done));
  EXPECT_EQ(done, 0u);
  char small[50];
  ASSERT_TRUE(file->readAt(PAGE + 70, small, sizeof small, &done));
  EXPECT_EQ(done, 30u);
}

TEST_P(PageFileTest, UnalignedWriteKeepsNeighbouringBytes) {
  auto file = open(OpenMode::CREATE_ALWAYS);
  ASSERT_TRUE(file);
  std::string model = pattern(3 * 4096, 1);
  std::size_t done = 0;
  ASSERT_TRUE(file->writeAt(0, model.data(), model.size(), &done));
  // Crosses two block boundaries from an odd buffer address.
  std::string piece(1, 'x');
  piece += pattern(4096 + 20, 9);
  ASSERT_TRUE(file->writeAt(4090, piece.data() + 1, piece.size() - 1, &done));
  EXPECT_EQ(done, piece.size() - 1);
  model.replace(4090, piece.size() - 1, piece.substr(1));
  EXPECT_EQ(readAll(*file), model);
}

TEST_P(PageFileTest, UnalignedWritePastTheEndSetsTheExactSize) {
  auto file = open(OpenMode::CREATE_ALWAYS);
  ASSERT_TRUE(file);
  std::size_t done = 0;
  ASSERT_TRUE(file->writeAt(0, "0123456789", 10, &done));
  uint64_t size = 0;
  ASSERT_TRUE(file->size(&size));
  EXPECT_EQ(size, 10u);
  ASSERT_TRUE(file->writeAt(5000, "tail", 4, &done));
  ASSERT_TRUE(file->size(&size));
  EXPECT_EQ(size, 5004u);
  std::string expected = "0123456789" + std::string(4990, '\0') + "tail";
  EXPECT_EQ(readAll(*file), expected);
  // A write inside a file whose end is not aligned leaves the end where it was.
  ASSERT_TRUE(file->writeAt(3, "abc", 3, &done));
  expected.replace(3, 3, "abc");
  EXPECT_EQ(readAll(*file), expected);
}

TEST_P(PageFileTest, RandomTransfersMatchAModel) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto file = open(OpenMode::CREATE_ALWAYS);
  ASSERT_TRUE(file);
  std::string model;
  // Lengths up to 2.5 MiB so that the bounce path takes several chunks.
  const std::size_t limit = 5 * 512 * 1024;
  AlignedBytes aligned = alignedBytes(limit + 8192);
  for (int step = 0; step < 60; ++step) {
    const bool alignedCase = random() % 3 == 0;
    std::size_t offset = random() % (limit / 2);
    std::size_t length = random() % (random() % 2 ? 9000 : limit / 2) + 1;
    if (alignedCase) {
      offset &= ~std::size_t{4095};
      length = (length + 4095) & ~std::size_t{4095};
    }
    const std::size_t shift = alignedCase ? 0 : random() % 64;
    std::size_t done = 0;
    switch (random() % 4) {
      case 0:
      case 1: {
        const std::string bytes = pattern(length, step);
        std::memcpy(aligned.get() + shift, bytes.data(), length);
        ASSERT_TRUE(file->writeAt(offset, aligned.get() + shift, length, &done));
        if (model.size() < offset + length) model.resize(offset + length, '\0');
        model.replace(offset, length, bytes);
        break;
      }
      case 2: {
        ASSERT_TRUE(file->readAt(offset, aligned.get() + shift, length, &done));
        const std::size_t expected =
            offset >= model.size() ? 0 : std::min(length, model.size() - offset);
        ASSERT_EQ(done, expected) << "step " << step;
        ASSERT_EQ(std::memcmp(aligned.get() + shift, model.data() + std::min(offset, model.size()),
                              expected),
                  0)
            << "step " << step;
        break;
      }
      default: {
        const std::size_t length2 = random() % limit;
        ASSERT_TRUE(file->truncate(length2));
        model.resize(length2, '\0');
      }
    }
    uint64_t size = 0;
    ASSERT_TRUE(file->size(&size));
    ASSERT_EQ(size, model.size()) << "step " << step;
  }
  EXPECT_EQ(readAll(*file), model);
}

TEST_P(PageFileTest, ReopenedFileKeepsItsContentAndTruncateWorksBothWays) {
  const std::string bytes = pattern(2 * PAGE, 5);
  {
    auto file = open(OpenMode::CREATE_ALWAYS);
    ASSERT_TRUE(file);
    std::size_t done = 0;
    ASSERT_TRUE(file->writeAt(0, bytes.data(), bytes.size(), &done));
    ASSERT_TRUE(file->sync());
    ASSERT_TRUE(file->close());
  }
  auto file = open(OpenMode::OPEN_EXISTING);
  ASSERT_TRUE(file);
  EXPECT_EQ(readAll(*file), bytes);
  ASSERT_TRUE(file->truncate(PAGE));
  EXPECT_EQ(readAll(*file), bytes.substr(0, PAGE));
  ASSERT_TRUE(file->truncate(PAGE + 10));
  EXPECT_EQ(readAll(*file), bytes.substr(0, PAGE) + std::string(10, '\0'));
}

TEST_P(PageFileTest, SecondOpenerFailsWhileTheFirstHoldsTheFile) {
  auto first = open(OpenMode::CREATE_ALWAYS);
  ASSERT_TRUE(first);
  std::size_t done = 0;
  ASSERT_TRUE(first->writeAt(0, "keep", 4, &done));
  for (OpenMode mode : {OpenMode::OPEN_EXISTING, OpenMode::CREATE_ALWAYS}) {
    std::unique_ptr<PageFile> second;
    Status status = openRaw(mode, &second);
    EXPECT_FALSE(status);
    EXPECT_EQ(status.error(), EWOULDBLOCK);
    EXPECT_EQ(status.path(), path_);
    EXPECT_FALSE(second);
  }
  // The refused CREATE_ALWAYS must not have emptied the file that the first opener holds.
  EXPECT_EQ(readAll(*first), "keep");
  first.reset();
  auto again = open(OpenMode::OPEN_EXISTING);
  ASSERT_TRUE(again);
  EXPECT_EQ(readAll(*again), "keep");
}

TEST_P(PageFileTest, CreateAlwaysEmptiesAnExistingFile) {
  {
    auto file = open(OpenMode::CREATE_ALWAYS);
    ASSERT_TRUE(file);
    std::size_t done = 0;
    ASSERT_TRUE(file->writeAt(0, "old content", 11, &done));
  }
  auto file = open(OpenMode::CREATE_ALWAYS);
  ASSERT_TRUE(file);
  EXPECT_EQ(readAll(*file), "");
}

TEST_P(PageFileTest, OpenExistingOfAMissingFileFailsAndCreatesNothing) {
  std::unique_ptr<PageFile> file;
  Status status = openRaw(OpenMode::OPEN_EXISTING, &file);
  EXPECT_EQ(status.error(), ENOENT);
  EXPECT_FALSE(file);
  EXPECT_FALSE(Env::posix().fileExists(path_));
  EXPECT_NE(status.toString().find(path_), std::string::npos);
}

TEST_P(PageFileTest, ClosedFileRefusesEveryCall) {
  auto file = open(OpenMode::CREATE_ALWAYS);
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->close());
  std::size_t done = 0;
  char byte = 0;
  uint64_t size = 0;
  EXPECT_EQ(file->readAt(0, &byte, 1, &done).error(), EBADF);
  EXPECT_EQ(file->writeAt(0, &byte, 1, &done).error(), EBADF);
  EXPECT_EQ(file->size(&size).error(), EBADF);
  EXPECT_EQ(file->truncate(0).error(), EBADF);
  EXPECT_EQ(file->sync().error(), EBADF);
  EXPECT_EQ(file->close().error(), EBADF);
  // The lock went with the descriptor.
  EXPECT_TRUE(open(OpenMode::OPEN_EXISTING));
}

// The Env opens page files through the page cache unless direct I/O was asked for.
TEST(PageCachingTest, EnvOpensAsThePageCachingSays) {
  if (::access("/tmp", W_OK) != 0) GTEST_SKIP() << "/tmp is not writable";
  TempDir dir("/tmp");
  ASSERT_TRUE(dir.valid());
  const std::string path = dir.file("mode.table");
  for (const PageCaching caching : {PageCaching::DIRECT, PageCaching::SYSTEM_CACHE}) {
    setPageCaching(caching);
    std::unique_ptr<PageFile> file;
    ASSERT_TRUE(Env::posix().openPageFile(path, OpenMode::CREATE_ALWAYS, &file));
    const auto* posix = dynamic_cast<const PosixPageFile*>(file.get());
    ASSERT_NE(posix, nullptr);
    // Direct where the file system allows it, as the page file opened directly shows.
    std::unique_ptr<PageFile> probe;
    ASSERT_TRUE(PosixPageFile::open(dir.file("probe"), OpenMode::CREATE_ALWAYS, &probe, true));
    const bool directAllowed = dynamic_cast<const PosixPageFile&>(*probe).isDirect();
    EXPECT_EQ(posix->isDirect(), caching == PageCaching::DIRECT && directAllowed);
  }
  EXPECT_EQ(pageCaching(), PageCaching::SYSTEM_CACHE);
}

TEST(PageCachingTest, PhysicalMemoryIsKnownOnLinux) {
  // The caches are sized from it; a machine with less than 16 MiB does not run the tests.
  EXPECT_GT(physicalMemoryBytes(), uint64_t{16} << 20);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, PageFileTest,
                         ::testing::Values(Setting{"Disk", "/tmp", true},
                                           Setting{"Tmpfs", "/dev/shm", true},
                                           Setting{"DiskBuffered", "/tmp", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dovrel::platform
