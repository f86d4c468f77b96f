// The 64-slot joiner and the collection of one key's documents in batches.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "index/ListJoiner.h"
#include "indexkeys/KeysTestSupport.h"

namespace dovrel::index {
namespace {

using test::numbersOf;
using V = std::vector<uint32_t>;

TEST(ListJoinerTest, HundredSingleListsJoinIntoOneAscendingList) {
  ListJoiner joiner;
  V expected;
  for (uint32_t i = 0; i < 100; ++i) {
    uint32_t number = (i * 37) % 100 * 3;  // distinct, out of order
    joiner.add(OrderedDocNumList::create(V{number}));
    expected.push_back(number);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(numbersOf(*joiner.join()), expected);
}

TEST(ListJoinerTest, EmptyJoinerAndEmptyListsGiveEmptyResult) {
  ListJoiner joiner;
  EXPECT_TRUE(joiner.join()->empty());
  joiner.add(OrderedDocNumList::emptyList());
  joiner.add(OrderedDocNumList::emptyList());
  EXPECT_TRUE(joiner.join()->empty());
}

// Many more lists than slots, overlapping, some empty: the union of all of them.
TEST(ListJoinerTest, ManyOverlappingListsMatchSetModel) {
  for (uint32_t seed : test::testSeeds(10)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    ListJoiner joiner;
    std::set<uint32_t> model;
    uint32_t lists = std::uniform_int_distribution<uint32_t>(65, 2000)(rng);
    for (uint32_t l = 0; l < lists; ++l) {
      std::set<uint32_t> one;
      uint32_t size = std::uniform_int_distribution<uint32_t>(0, 40)(rng);
      std::uniform_int_distribution<uint32_t> number(0, 20000);
      for (uint32_t i = 0; i < size; ++i) one.insert(number(rng));
      joiner.add(OrderedDocNumList::create(V(one.begin(), one.end())));
      model.insert(one.begin(), one.end());
      if (l % 97 == 0) {
        ASSERT_EQ(numbersOf(*joiner.join()), V(model.begin(), model.end()));
      }
    }
    ASSERT_EQ(numbersOf(*joiner.join()), V(model.begin(), model.end()));
  }
}

// A stand-in for the merge index's getDocs over one key of `total` documents.
struct BatchSource {
  uint32_t total;
  uint32_t next = 0;
  int calls = 0;
  int failAtCall = -1;
  bool operator()(uint32_t* batch, uint32_t& count) {
    if (calls++ == failAtCall) return false;
    count = 0;
    while (count < GET_DOCS_BATCH && next < total) batch[count++] = 10 + 2 * next++;
    return true;
  }
};

TEST(ListJoinerTest, KeyDocumentsAreCollectedUntilAShortBatch) {
  for (uint32_t total : {0u, 1u, 255u, 256u, 257u, 512u, 1000u}) {
    SCOPED_TRACE("documents " + std::to_string(total));
    ListJoiner joiner;
    BatchSource source{total};
    ASSERT_TRUE(addKeyDocuments(joiner, source));
    // A full batch always asks again, so an exact multiple of 256 takes one more call.
    EXPECT_EQ(source.calls, static_cast<int>(total / GET_DOCS_BATCH + 1));
    OrderedListPtr documents = joiner.join();
    ASSERT_EQ(documents->length(), total);
    for (uint32_t i = 0; i < total; ++i) ASSERT_EQ(documents->element(i), 10 + 2 * i);
  }
}

TEST(ListJoinerTest, FailedBatchAddsNothing) {
  for (int failAt : {0, 1, 2}) {
    ListJoiner joiner;
    BatchSource source{700};
    source.failAtCall = failAt;
    EXPECT_FALSE(addKeyDocuments(joiner, source));
    EXPECT_TRUE(joiner.join()->empty());
  }
}

}  // namespace
}  // namespace dovrel::index
