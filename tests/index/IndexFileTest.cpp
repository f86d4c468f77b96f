// The index file: where clusters and information blocks land on disk, the checks made
// when a file is opened, and every error code of the file's operations.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "index/Cluster.h"
#include "index/EngineCalls.h"
#include "index/IndexFile.h"
#include "index/IndexTestSupport.h"
#include "platform/FaultInjectionEnv.h"

namespace dovrel::index {
namespace {

using platform::FaultKind;
using test::K;
using test::key;

constexpr uint32_t L = 2 * INDEX_BUFFER_SIZE;

class IndexFileTest : public testing::Test {
 protected:
  std::unique_ptr<Cluster> cluster(uint32_t length = L) {
    ErrorCode error = EM_NO_ERRORS;
    return test::makeCluster(length, error);
  }
  // A raw file: block 0 naming `clusterLength`, padded with zeros to `length` bytes.
  void writeRaw(uint32_t clusterLength, uint64_t length) {
    std::string bytes(length, '\0');
    if (length >= 4) storeU32(bytes.data(), clusterLength);
    test::writeFile(path_, bytes);
  }
  ErrorCode openError() {
    IndexFile file;
    ErrorCode error = EM_NO_ERRORS;
    test::open(file, path_, error);
    EXPECT_EQ(file.isOpen(), error == EM_NO_ERRORS);
    return error;
  }

  test::TempDir dir_;
  std::string path_ = dir_.file("field.index");
};

TEST_F(IndexFileTest, ClustersAndInformationBlocksLandAtTheirOffsets) {
  IndexFile file;
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, file.create(path_, L));
  for (uint32_t expected = 0; expected < 3; ++expected)
    EXPECT_EQ(test::append(file, error), expected);
  auto c = cluster();
  c->addKey(K(key("word")), 42 | KEY_MARKER);
  test::keep(error, file.writeCluster(*c, 1));
  alignas(IO_ALIGNMENT) static uint8_t block[INDEX_BUFFER_SIZE];
  encodeInfoBlock(InfoBlock{L, 7, 1}, block);
  test::keep(error, file.writeInfo(block, 2));
  ASSERT_EQ(error, EM_NO_ERRORS);
  file.close();

  std::string raw = test::readFile(path_);
  ASSERT_EQ(raw.size(), 0x40000u + 3 * L);
  EXPECT_EQ(std::memcmp(raw.data() + 0x40000 + L, c->bytes(), L), 0);
  const char* info = raw.data() + 2 * INDEX_BUFFER_SIZE;
  EXPECT_EQ(loadU32(info), L);
  EXPECT_EQ(loadU32(info + 4), 7u);
  EXPECT_EQ(loadU32(info + 8), 1u);
  EXPECT_EQ(std::string(info + 12, INDEX_BUFFER_SIZE - 12),
            std::string(INDEX_BUFFER_SIZE - 12, '\0'));

  // Block 0 is still zero: the file cannot be opened until it names a cluster length.
  EXPECT_EQ(openError(), EM_BAD_DATA);
  std::memcpy(raw.data(), info, INDEX_BUFFER_SIZE);
  test::writeFile(path_, raw);
  EXPECT_EQ(test::open(file, path_, error), L);
  EXPECT_EQ(file.clusterNum(), 3u);
  auto read = cluster();
  test::keep(error, file.readCluster(*read, 1));
  ASSERT_EQ(error, EM_NO_ERRORS);
  EXPECT_EQ(test::text(read->currentKey()), "word");
}

TEST_F(IndexFileTest, OpenChecksTheClusterLengthAndTheFileLength) {
  const uint32_t M = INDEX_BUFFER_SIZE;
  struct Case {
    uint32_t clusterLength;
    uint64_t fileLength;
    ErrorCode expected;
  } cases[] = {
      {M, 0x40000, EM_NO_ERRORS},
      {M, 0x40000 + 3 * M, EM_NO_ERRORS},
      {1u << 24, 0x40000, EM_NO_ERRORS},
      {M, 0x40000 + 1, EM_BAD_DATA},
      {2 * M, 0x40000 + 3 * M, EM_BAD_DATA},
      {M, 0x40000 - M, EM_BAD_DATA},
      {M - 1, 0x40000, EM_BAD_DATA},
      {M + 1, 0x40000, EM_BAD_DATA},
      {3 * M, 0x40000, EM_BAD_DATA},
      {1u << 25, 0x40000, EM_BAD_DATA},
      {0, 0x40000, EM_BAD_DATA},
      {M, 1000, EM_READ},
  };
  for (const Case& c : cases) {
    writeRaw(c.clusterLength, c.fileLength);
    EXPECT_EQ(openError(), c.expected) << c.clusterLength << " / " << c.fileLength;
  }
  std::filesystem::remove(path_);
  EXPECT_EQ(openError(), EM_OPEN);
}

TEST_F(IndexFileTest, EmptyFileOfOnlyTheInformationAreaHasNoClusters) {
  writeRaw(INDEX_BUFFER_SIZE, 0x40000);
  IndexFile file;
  ErrorCode error = EM_NO_ERRORS;
  EXPECT_EQ(test::open(file, path_, error), INDEX_BUFFER_SIZE);
  EXPECT_EQ(file.clusterNum(), 0u);
  EXPECT_EQ(test::append(file, error), 0u);
  EXPECT_EQ(std::filesystem::file_size(path_), 0x40000u + INDEX_BUFFER_SIZE);
}

TEST_F(IndexFileTest, CreateTruncatesAndHoldsTheFileExclusively) {
  test::writeFile(path_, std::string(5000, 'x'));
  IndexFile file, second;
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, file.create(path_, L));
  ASSERT_EQ(error, EM_NO_ERRORS);
  EXPECT_EQ(std::filesystem::file_size(path_), 0u);
  test::open(second, path_, error);
  EXPECT_EQ(error, EM_OPEN);
  error = EM_NO_ERRORS;
  test::keep(error, second.create(dir_.file("missing/field.index"), L));
  EXPECT_EQ(error, EM_CREATE);
}

TEST_F(IndexFileTest, OperationsOnAClosedFileReportNotOpen) {
  IndexFile file;
  auto c = cluster();
  alignas(IO_ALIGNMENT) static uint8_t block[INDEX_BUFFER_SIZE];
  std::vector<std::function<void(ErrorCode&)>> operations = {
      [&](ErrorCode& e) { test::append(file, e); },
      [&](ErrorCode& e) { test::keep(e, file.readCluster(*c, 0)); },
      [&](ErrorCode& e) { test::keep(e, file.writeCluster(*c, 0)); },
      [&](ErrorCode& e) { test::keep(e, file.readInfo(block, 0)); },
      [&](ErrorCode& e) { test::keep(e, file.writeInfo(block, 0)); },
      [&](ErrorCode& e) { test::keep(e, file.sync()); },
  };
  for (auto& operation : operations) {
    ErrorCode error = EM_NO_ERRORS;
    operation(error);
    EXPECT_EQ(error, EM_NOT_OPEN);
  }
}

TEST_F(IndexFileTest, DamagedClusterOnDiskIsBadData) {
  IndexFile file;
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, file.create(path_, L));
  test::append(file, error);
  auto c = cluster();
  c->addKey(K(key("k")), KEY_MARKER);
  test::keep(error, file.writeCluster(*c, 0));
  alignas(IO_ALIGNMENT) static uint8_t block[INDEX_BUFFER_SIZE];
  encodeInfoBlock(InfoBlock{L, 2, 0}, block);
  test::keep(error, file.writeInfo(block, 0));
  file.close();
  std::string raw = test::readFile(path_);
  raw[0x40000 + L - 100] ^= 0x10;  // free space
  test::writeFile(path_, raw);
  test::open(file, path_, error);
  test::keep(error, file.readCluster(*c, 0));
  EXPECT_EQ(error, EM_BAD_DATA);
}

class IndexFileFaultTest : public IndexFileTest {
 protected:
  void SetUp() override {
    platform::Env::setCurrent(&env_);
    ErrorCode error = EM_NO_ERRORS;
    test::keep(error, file_.create(path_, L));
    test::append(file_, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
  }
  void TearDown() override {
    file_.close();
    platform::Env::setCurrent(nullptr);
  }
  platform::FaultInjectionEnv env_;
  IndexFile file_;
};

TEST_F(IndexFileFaultTest, AClusterMovesInOneTransfer) {
  auto c = cluster();
  c->addKey(K(key("k")), KEY_MARKER);
  env_.resetCounts();
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, file_.writeCluster(*c, 0));
  test::keep(error, file_.readCluster(*c, 0));
  EXPECT_EQ(error, EM_NO_ERRORS);
  EXPECT_EQ(env_.count(FaultKind::WRITE), 1u);
  EXPECT_EQ(env_.count(FaultKind::READ), 1u);
}

// The free blocks between keys and values are not transferred: skipped in a cluster that
// was appended and never written, zeroed by the file system over a cluster that held more.
// Either way the file holds exactly the cluster's bytes.
TEST_F(IndexFileFaultTest, ZeroBlocksAreSkippedOrZeroedButTheFileHoldsTheCluster) {
  constexpr uint32_t WIDE = 8 * INDEX_BUFFER_SIZE;
  IndexFile file;
  ErrorCode error = EM_NO_ERRORS;
  test::keep(error, file.create(dir_.file("wide.index"), WIDE));
  ASSERT_EQ(test::append(file, error), 0u);
  auto full = cluster(WIDE);
  for (uint32_t i = 0; i < 33000; ++i) {  // 15 bytes each: no free block is left
    full->addKey(K(key("key" + std::to_string(100000 + i))), KEY_MARKER | i);
  }
  auto sparse = cluster(WIDE);
  sparse->addKey(K(key("only")), KEY_MARKER | 5);
  struct Step {
    Cluster* cluster;
    uint64_t writes;  // transfers and zeroings
  } steps[] = {{sparse.get(), 2}, {full.get(), 1}, {sparse.get(), 3}};
  for (const Step& step : steps) {
    env_.resetCounts();
    test::keep(error, file.writeCluster(*step.cluster, 0));
    ASSERT_EQ(error, EM_NO_ERRORS);
    EXPECT_EQ(env_.count(FaultKind::WRITE), step.writes);
    const std::string raw = test::readFile(dir_.file("wide.index"));
    ASSERT_EQ(raw.size(), CLUSTER_AREA_OFFSET + WIDE);
    EXPECT_EQ(std::memcmp(raw.data() + CLUSTER_AREA_OFFSET, step.cluster->bytes(), WIDE), 0);
  }
}

TEST_F(IndexFileFaultTest, FailuresBecomeTheirErrorCodes) {
  auto c = cluster();
  alignas(IO_ALIGNMENT) static uint8_t infoBlock[INDEX_BUFFER_SIZE] = {};
  c->addKey(K(key("k")), KEY_MARKER);
  struct Case {
    FaultKind kind;
    uint64_t nth;
    int errnoValue;
    std::function<void(ErrorCode&)> operation;
    ErrorCode expected;
  } cases[] = {
      {FaultKind::WRITE, 1, EIO, [&](ErrorCode& e) { test::keep(e, file_.writeCluster(*c, 0)); },
       EM_WRITE},
      {FaultKind::WRITE, 1, EFBIG, [&](ErrorCode& e) { test::keep(e, file_.writeCluster(*c, 0)); },
       EM_SEEK},
      {FaultKind::READ, 1, EIO, [&](ErrorCode& e) { test::keep(e, file_.readCluster(*c, 0)); },
       EM_READ},
      {FaultKind::TRUNCATE, 1, ENOSPC, [&](ErrorCode& e) { test::append(file_, e); }, EM_EXTEND},
      {FaultKind::SYNC, 1, EIO, [&](ErrorCode& e) { test::keep(e, file_.sync()); }, EM_WRITE},
      {FaultKind::WRITE, 1, EIO,
       [&](ErrorCode& e) { test::keep(e, file_.writeInfo(infoBlock, 1)); }, EM_WRITE},
      {FaultKind::WRITE, 1, EOVERFLOW,
       [&](ErrorCode& e) { test::keep(e, file_.writeInfo(infoBlock, 1)); }, EM_SEEK},
      {FaultKind::READ, 1, EIO, [&](ErrorCode& e) { test::keep(e, file_.readInfo(infoBlock, 1)); },
       EM_READ},
      {FaultKind::READ, 1, EINVAL,
       [&](ErrorCode& e) { test::keep(e, file_.readInfo(infoBlock, 1)); }, EM_SEEK},
  };
  for (const Case& fault : cases) {
    env_.failAt(fault.kind, fault.nth, fault.errnoValue);
    ErrorCode error = EM_NO_ERRORS;
    fault.operation(error);
    EXPECT_EQ(error, fault.expected) << static_cast<int>(fault.kind);
    env_.clearFaults();
    // A failed call leaves the file open and usable, and its code is not carried into the
    // next call.
    EXPECT_TRUE(file_.isOpen());
    EXPECT_EQ(file_.sync(), EM_NO_ERRORS) << static_cast<int>(fault.kind);
  }
  EXPECT_EQ(file_.clusterNum(), 1u);  // the failed extension changed nothing

  ErrorCode error = EM_NO_ERRORS;
  alignas(IO_ALIGNMENT) static uint8_t block[INDEX_BUFFER_SIZE];
  encodeInfoBlock(InfoBlock{L, 2, 0}, block);
  test::keep(error, file_.writeInfo(block, 0));
  file_.close();
  env_.failAt(FaultKind::SIZE, 1, EIO);
  test::open(file_, path_, error);
  EXPECT_EQ(error, EM_FILE_SIZE);
  EXPECT_FALSE(file_.isOpen());
  env_.clearFaults();
  env_.failAt(FaultKind::OPEN, 1, EACCES);
  error = EM_NO_ERRORS;
  test::keep(error, file_.create(path_, L));
  EXPECT_EQ(error, EM_CREATE);
}

}  // namespace
}  // namespace dovrel::index
