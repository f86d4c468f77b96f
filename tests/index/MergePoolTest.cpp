// The merge pool: its levels, the newer-wins merge of one document's records, and random
// inserts poured out into clusters against a sorted, deduplicated model.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "index/Cluster.h"
#include "index/EngineCalls.h"
#include "index/IndexTestSupport.h"
#include "index/MergePool.h"

namespace dovrel::index {
namespace {

using test::K;
using test::key;
using test::text;

constexpr uint32_t L = INDEX_BUFFER_SIZE;

// key text -> values in order
using Contents = std::map<std::string, std::vector<uint32_t>>;

class MergePoolTest : public testing::Test {
 protected:
  std::unique_ptr<MergePool> pool(uint32_t length = L) {
    ErrorCode error = EM_NO_ERRORS;
    auto p = test::makePool(length, error);
    EXPECT_EQ(error, EM_NO_ERRORS);
    return p;
  }
  // Fills a cluster from the scratch run, checks that it survives a write and a read,
  // and returns what it holds. Every key starts here (its first value is marked).
  Contents pouredContents(uint32_t length = L) {
    ErrorCode error = EM_NO_ERRORS;
    auto filled = test::makeCluster(length, error);
    auto read = test::makeCluster(length, error);
    MergePool::fill(*filled);
    filled->seal();
    std::memcpy(read->bytesToOverwrite(), filled->bytes(), length);
    test::keep(error, read->validate());
    EXPECT_EQ(error, EM_NO_ERRORS);
    Contents out;
    if (error != EM_NO_ERRORS) return out;
    do {
      std::vector<uint32_t>& values = out[text(read->currentKey())];
      EXPECT_TRUE(values.empty()) << "key twice";
      values.push_back(read->takeValue());
      EXPECT_TRUE(values.back() & KEY_MARKER);
      values.back() &= VALUE_MASK;
      while (!read->valuesExhausted()) values.push_back(read->takeValue());
    } while (read->nextKey());
    return out;
  }
};

TEST_F(MergePoolTest, LevelsDoubleFromSixteenBytes) {
  auto p = pool();
  EXPECT_EQ(p->levelCount(), 12u);
  EXPECT_EQ(pool(1u << 20)->levelCount(), 16u);
  // The largest entry, 261 bytes, fits level 5 (512 bytes) and no lower one.
  EXPECT_FALSE(p->insert(K(key(std::string(255, 'x'))), 4));
  for (uint32_t i = 0; i < p->levelCount(); ++i) {
    EXPECT_EQ(p->levelRunSize(i), i == 5 ? 261u : 0u) << "level " << i;
  }
  // A 10-byte entry goes to level 0; the next one carries both to level 1.
  EXPECT_FALSE(p->insert(K(key("abcd")), 1));
  EXPECT_EQ(p->levelRunSize(0), 10u);
  EXPECT_FALSE(p->insert(K(key("abce")), 1));
  EXPECT_EQ(p->levelRunSize(0), 0u);
  EXPECT_EQ(p->levelRunSize(1), 20u);
}

TEST_F(MergePoolTest, NewerRecordOfADocumentWinsInEitherOrder) {
  // With filler entries between the two records, the older one has been carried to a
  // higher level by the time the newer one arrives.
  for (uint32_t fillers : {0u, 1u, 7u}) {
    for (uint32_t flagFirst : {0u, 1u}) {
      auto p = pool();
      p->insert(K(key("k")), 2 * 21 + flagFirst);
      for (uint32_t i = 0; i < fillers; ++i)
        p->insert(K(key(std::to_string(i).insert(0, 1, 'f'))), i);
      p->insert(K(key("k")), 2 * 21 + (1 - flagFirst));
      ASSERT_TRUE(p->pourOut());
      EXPECT_EQ(pouredContents()["k"], std::vector<uint32_t>{2 * 21 + (1 - flagFirst)})
          << fillers << " fillers, flag first " << flagFirst;
    }
  }
}

TEST_F(MergePoolTest, ValuesOfOneKeyComeOutSortedAndEmptyPoolPoursNothing) {
  auto p = pool();
  EXPECT_FALSE(p->pourOut());
  for (uint32_t doc : {5u, 3u, 9u}) p->insert(K(key("k")), 2 * doc);
  EXPECT_FALSE(p->isEmpty());
  ASSERT_TRUE(p->pourOut());
  EXPECT_TRUE(p->isEmpty());
  EXPECT_EQ(pouredContents(), (Contents{{"k", {6, 10, 18}}}));
  EXPECT_FALSE(p->pourOut());
}

// Random entries until the pool reports full (or, sometimes, an early pourOut), several
// rounds per pool; the cluster filled from each pour must equal the model: keys sorted,
// one record per document and key, the newest one.
TEST_F(MergePoolTest, RandomInsertsPourOutAsTheModel) {
  std::vector<uint32_t> seeds = test::testSeeds(30);
  std::size_t fullRounds = 0;
  for (uint32_t seed : seeds) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto p = pool();
    for (uint32_t round = 0; round < 3; ++round) {
      std::map<std::string, std::map<uint32_t, uint32_t>> model;  // key -> doc -> value
      uint32_t stopAfter = rng() % 3 == 0 ? rng() % 3000 : UINT32_MAX;
      bool full = false;
      for (uint32_t n = 0; !full && n < stopAfter; ++n) {
        std::string t(rng() % 8 == 0 ? rng() % 256 : rng() % 6, 'a');
        for (char& ch : t) ch = "ab\x80"[rng() % 3];
        uint32_t doc = rng() % 64;
        uint32_t value = 2 * doc + rng() % 2;
        model[t][doc] = value;
        full = p->insert(K(key(t)), value);
      }
      if (!full && !p->pourOut()) {
        EXPECT_TRUE(model.empty());
        continue;
      }
      EXPECT_TRUE(p->isEmpty());
      fullRounds += full;
      Contents expected;
      for (const auto& [t, docs] : model) {
        for (const auto& [doc, value] : docs) expected[t].push_back(value);
      }
      ASSERT_EQ(pouredContents(), expected) << "round " << round;
    }
  }
  EXPECT_GE(fullRounds, seeds.size());
}

TEST_F(MergePoolTest, PoolsOfDifferentLengthsShareTheScratchBuffers) {
  auto small = pool(L);
  small->insert(K(key("s")), 2);
  auto large = pool(4 * L);  // enlarges the shared buffers
  for (uint32_t i = 0; i < 2000; ++i) large->insert(K(key(std::to_string(i))), 2 * i);
  ASSERT_TRUE(small->pourOut());
  EXPECT_EQ(pouredContents(L), (Contents{{"s", {2}}}));
  ASSERT_TRUE(large->pourOut());
  Contents poured = pouredContents(4 * L);
  EXPECT_EQ(poured.size(), 2000u);
  EXPECT_EQ(poured["1999"], std::vector<uint32_t>{3998});
  small.reset();
  large.reset();
  auto again = pool(L);  // the buffers come back after the last pool went
  again->insert(K(key("x")), 0);
  ASSERT_TRUE(again->pourOut());
  EXPECT_EQ(pouredContents(), (Contents{{"x", {0}}}));
}

}  // namespace
}  // namespace dovrel::index
