// The directory: its bytes for an empty index, random directories written across
// continuation clusters and read back, and damaged directories refused.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "index/Cluster.h"
#include "index/Directory.h"
#include "index/DirectoryWriter.h"
#include "index/EngineCalls.h"
#include "index/IndexFile.h"
#include "index/IndexTestSupport.h"

namespace dovrel::index {
namespace {

using test::K;
using test::key;

constexpr uint32_t L = INDEX_BUFFER_SIZE;

class DirectoryTest : public testing::Test {
 protected:
  void SetUp() override {
    ErrorCode error = EM_NO_ERRORS;
    test::keep(error, file_.create(path_, L));
    buffer_ = test::makeCluster(L, error);
    ASSERT_EQ(error, EM_NO_ERRORS);
  }
  DirectoryWriter::TakeCluster taker() {
    return [this](uint32_t& number) { return file_.append(number); };
  }
  // Writes one hand-made directory cluster as cluster 0: keys with their values as given.
  void writeEntries(const std::vector<std::pair<std::string, std::vector<uint32_t>>>& entries) {
    ErrorCode error = EM_NO_ERRORS;
    if (file_.clusterNum() == 0) test::append(file_, error);
    buffer_->clear();
    for (const auto& [k, values] : entries) {
      buffer_->addKey(K(k), values[0]);
      for (std::size_t i = 1; i < values.size(); ++i) buffer_->addValue(values[i]);
    }
    test::keep(error, file_.writeCluster(*buffer_, 0));
    ASSERT_EQ(error, EM_NO_ERRORS);
  }
  ErrorCode readBack(Directory* out) {
    ErrorCode error = EM_NO_ERRORS;
    test::readDirectory(file_, *buffer_, 0, out, error);
    return error;
  }

  test::TempDir dir_;
  std::string path_ = dir_.file("d.index");
  IndexFile file_;
  std::unique_ptr<Cluster> buffer_;
};

TEST_F(DirectoryTest, EmptyIndexIsTwoEndEntriesInClusterZero) {
  ErrorCode error = EM_NO_ERRORS;
  uint32_t first = test::append(file_, error);
  DirectoryWriter writer(file_, *buffer_, first, taker());
  writer.endList();  // no chains
  writer.endList();  // no merges
  test::keep(error, writer.finish());
  alignas(IO_ALIGNMENT) static uint8_t block[INDEX_BUFFER_SIZE];
  encodeInfoBlock(InfoBlock{L, 2, first}, block);
  for (uint32_t i = 0; i < INFO_SIZE; ++i) test::keep(error, file_.writeInfo(block, i));
  ASSERT_EQ(error, EM_NO_ERRORS);
  file_.close();

  std::string raw = test::readFile(path_);
  ASSERT_EQ(raw.size(), 0x40000u + L);
  for (uint32_t i = 0; i < INFO_SIZE; ++i) {
    EXPECT_EQ(std::memcmp(raw.data() + i * INDEX_BUFFER_SIZE, block, INDEX_BUFFER_SIZE), 0);
  }
  const char* c = raw.data() + 0x40000;
  EXPECT_EQ(loadU32(c + CLUSTER_KEY_END_OFFSET), 20u);
  EXPECT_EQ(loadU32(c + CLUSTER_DATA_END_OFFSET), L / 4 - 3);
  EXPECT_EQ(std::string(c + 16, 4), std::string(4, '\0'));
  EXPECT_EQ(loadU32(c + L - 4), DIRECTORY_END);
  EXPECT_EQ(loadU32(c + L - 8), DIRECTORY_END);

  test::open(file_, path_, error);
  Directory directory;
  ASSERT_EQ(readBack(&directory), EM_NO_ERRORS);
  EXPECT_TRUE(directory.chains.empty());
  EXPECT_TRUE(directory.merges.empty());
  EXPECT_EQ(directory.directoryClusters, std::vector<uint32_t>{0});
}

// A random chain shape: keys of up to 255 bytes that never go backwards, some clusters
// continuing the previous one's last key.
DirectoryChain randomChain(std::mt19937& rng, uint32_t clusters) {
  DirectoryChain chain;
  std::string last = key("");
  for (uint32_t i = 0; i < clusters; ++i) {
    DirectoryClusterEntry entry;
    entry.number = rng() % 0x7FFFFFF0u;
    if (i > 0 && rng() % 4 == 0) {
      entry.startKey = last;
    } else {
      std::string text = test::text(K(last));
      text.resize(rng() % 256, static_cast<char>('a' + rng() % 3));
      entry.startKey = key(text);
      if (keyCompare(K(entry.startKey), K(last)) < 0) entry.startKey = last;
    }
    std::string finText(entry.startKey.substr(1));
    if (rng() % 2 && finText.size() < 255) finText.push_back(static_cast<char>(0x80 + rng() % 128));
    entry.finKey = key(finText);
    last = entry.finKey;
    chain.clusters.push_back(entry);
  }
  return chain;
}

bool sameChain(const DirectoryChain& a, const DirectoryChain& b) {
  if (a.clusters.size() != b.clusters.size()) return false;
  for (std::size_t i = 0; i < a.clusters.size(); ++i) {
    if (a.clusters[i].number != b.clusters[i].number ||
        a.clusters[i].startKey != b.clusters[i].startKey ||
        a.clusters[i].finKey != b.clusters[i].finKey) {
      return false;
    }
  }
  return true;
}

TEST_F(DirectoryTest, RandomDirectoriesRoundTripAcrossContinuationClusters) {
  std::vector<uint32_t> seeds = test::testSeeds(20);
  std::size_t continued = 0;
  for (uint32_t seed : seeds) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Directory written;
    for (uint32_t n = 1 + rng() % 8; n > 0; --n) {
      written.chains.push_back(randomChain(rng, 1 + rng() % 60));
    }
    for (uint32_t n = rng() % 4; n > 0; --n) {
      DirectoryMerge merge;
      for (uint32_t& number : merge.numbers) number = rng() % 50;
      // Pending values of the last document number read like the end and continuation marks.
      merge.numbers[MERGE_SOURCE1_PENDING] = 0x7FFFFFFE;
      merge.numbers[MERGE_SOURCE2_PENDING] = 0x7FFFFFFF;
      merge.output = randomChain(rng, 1 + rng() % 30);
      written.merges.push_back(merge);
    }

    ErrorCode error = EM_NO_ERRORS;
    file_.close();
    test::keep(error, file_.create(path_, L));
    uint32_t first = test::append(file_, error);
    {
      DirectoryWriter writer(file_, *buffer_, first, taker());
      for (const DirectoryChain& chain : written.chains) {
        for (const auto& c : chain.clusters)
          test::keep(error, writer.addChainCluster(c.number, c.start(), c.fin()));
        writer.endList();
      }
      writer.endList();
      for (const DirectoryMerge& merge : written.merges) {
        writer.addMerge(merge.numbers);
        for (const auto& c : merge.output.clusters) {
          test::keep(error, writer.addChainCluster(c.number, c.start(), c.fin()));
        }
        writer.endList();
      }
      writer.endList();
      test::keep(error, writer.finish());
      ASSERT_EQ(error, EM_NO_ERRORS);
    }

    Directory read;
    ASSERT_EQ(readBack(&read), EM_NO_ERRORS);
    ASSERT_EQ(read.chains.size(), written.chains.size());
    for (std::size_t i = 0; i < read.chains.size(); ++i) {
      EXPECT_TRUE(sameChain(read.chains[i], written.chains[i])) << "chain " << i;
    }
    ASSERT_EQ(read.merges.size(), written.merges.size());
    for (std::size_t i = 0; i < read.merges.size(); ++i) {
      EXPECT_EQ(read.merges[i].numbers, written.merges[i].numbers);
      EXPECT_TRUE(sameChain(read.merges[i].output, written.merges[i].output)) << "merge " << i;
    }
    // Every directory cluster but the last was left with fewer than 620 free bytes before
    // its two continuation entries, which end it.
    ASSERT_EQ(read.directoryClusters.size(), file_.clusterNum());
    continued += read.directoryClusters.size() > 1;
    for (std::size_t i = 0; i + 1 < read.directoryClusters.size(); ++i) {
      test::keep(error, file_.readCluster(*buffer_, read.directoryClusters[i]));
      ASSERT_EQ(error, EM_NO_ERRORS);
      EXPECT_LT(buffer_->freeBytes() + 12, DIRECTORY_MIN_FREE);
      buffer_->last();
      EXPECT_EQ(buffer_->takeValue(), read.directoryClusters[i + 1] | KEY_MARKER);
      buffer_->prevKey();
      EXPECT_EQ(buffer_->takeValue(), DIRECTORY_CONTINUED);
    }
  }
  if (seeds.size() >= 10) {
    EXPECT_GE(continued, seeds.size() / 4);
  }
}

TEST_F(DirectoryTest, DamagedDirectoriesAreBadData) {
  const uint32_t END = DIRECTORY_END, MORE = DIRECTORY_CONTINUED, F = KEY_MARKER;
  const std::string E = key(""), A = key("a"), B = key("b");
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::vector<uint32_t>>> entries;
  } cases[] = {
      {"continuation beyond the file", {{A, {F | 5}}, {A, {F | 5}}, {E, {MORE}}, {E, {F | 9}}}},
      {"continuation back to itself", {{A, {F | 5}}, {A, {F | 5}}, {E, {MORE}}, {E, {F | 0}}}},
      {"continuation without a pair before", {{E, {MORE}}, {E, {F | 1}}, {E, {END}}}},
      {"an entry with two values", {{A, {F | 5, 6}}, {A, {F | 5}}, {E, {END}}, {E, {END}}}},
      {"a value without bit 31", {{E, {7}}, {E, {END}}}},
      {"no end of the merges", {{E, {END}}}},
      {"an end with a key", {{E, {END}}, {A, {END}}}},
      {"a pair naming two clusters", {{A, {F | 5}}, {B, {F | 6}}, {E, {END}}, {E, {END}}}},
      {"a pair going backwards", {{B, {F | 5}}, {A, {F | 5}}, {E, {END}}, {E, {END}}}},
      {"clusters going backwards",
       {{B, {F | 5}}, {B, {F | 5}}, {A, {F | 6}}, {A, {F | 6}}, {E, {END}}, {E, {END}}}},
      {"a merge number with a key", {{E, {END}}, {A, {F | 1}}}},
      {"a merge cut short", {{E, {END}}, {E, {F}}, {E, {F | 1}}, {E, {END}}}},
  };
  ErrorCode error = EM_NO_ERRORS;
  test::append(file_, error);
  test::append(file_, error);  // cluster 1 exists, so that only 9 is beyond the file
  for (const Case& c : cases) {
    writeEntries(c.entries);
    Directory directory;
    EXPECT_EQ(readBack(&directory), EM_BAD_DATA) << c.what;
  }
  // The same shapes done right are accepted.
  writeEntries({{A, {F | 5}}, {B, {F | 5}}, {E, {END}}, {E, {END}}, {E, {END}}});
  Directory directory;
  EXPECT_EQ(readBack(&directory), EM_NO_ERRORS);
}

}  // namespace
}  // namespace dovrel::index
