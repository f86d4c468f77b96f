// Ordering results by the keys of a sort index: KeyDocBuilder, unique and order.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "index/KeyDocBuilder.h"
#include "index/NumPairList.h"
#include "indexkeys/KeysTestSupport.h"

namespace dovrel::index {
namespace {

using test::numbersOf;
using V = std::vector<uint32_t>;

TEST(NumPairListTest, DocumentsComeInKeyOrderWithKeylessOnesFirst) {
  // Keys walked in order: «A» (ordinal 1) holds 5, «B» (ordinal 2) holds 2; 7 has no key.
  KeyDocBuilder builder;
  builder.add(1, 5);
  builder.add(2, 2);
  NumPairList pairs = builder.build();
  ASSERT_TRUE(pairs.unique());
  OrderedListPtr result = OrderedDocNumList::create(V{2, 5, 7});
  EXPECT_EQ(numbersOf(*pairs.order(*result, false)), (V{7, 5, 2}));
  EXPECT_EQ(numbersOf(*pairs.order(*result, true)), (V{2, 5, 7}));
}

TEST(NumPairListTest, EqualKeysKeepAscendingDocumentOrder) {
  KeyDocBuilder builder;
  builder.addDocuments(1, V{4, 8, 9});
  builder.addDocuments(2, V{1, 3});
  NumPairList pairs = builder.build();
  OrderedListPtr result = OrderedDocNumList::create(V{0, 1, 3, 4, 6, 8, 9});
  EXPECT_EQ(numbersOf(*pairs.order(*result, false)), (V{0, 6, 4, 8, 9, 1, 3}));
  EXPECT_EQ(numbersOf(*pairs.order(*result, true)), (V{3, 1, 9, 8, 4, 6, 0}));
  EXPECT_TRUE(pairs.order(*OrderedDocNumList::emptyList(), false)->empty());
}

TEST(NumPairListTest, DocumentUnderTwoKeysMakesOrderingImpossible) {
  KeyDocBuilder builder;
  builder.addDocuments(1, V{1, 2});
  builder.addDocuments(2, V{3, 9});
  builder.addDocuments(3, V{9});  // document 9 has two sort keys
  NumPairList pairs = builder.build();
  // Refused whatever the result holds, even when 9 is not in it.
  EXPECT_FALSE(pairs.unique());
  KeyDocBuilder single;
  single.addDocuments(1, V{1, 2, 3});
  EXPECT_TRUE(single.build().unique());
}

// Random sort indexes and results against a model that sorts (key, document) tuples.
TEST(NumPairListTest, OrderMatchesSortModel) {
  for (uint32_t seed : test::testSeeds(20)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const uint32_t documents = std::uniform_int_distribution<uint32_t>(1, 3000)(rng);
    const uint32_t keys = std::uniform_int_distribution<uint32_t>(1, 50)(rng);
    std::map<uint32_t, uint32_t> keyOf;  // document -> ordinal; absent: no key
    for (uint32_t d = 0; d < documents; ++d) {
      if (rng() % 4 != 0) keyOf[d] = std::uniform_int_distribution<uint32_t>(1, keys)(rng);
    }
    KeyDocBuilder builder;
    for (uint32_t k = 1; k <= keys; ++k) {
      V docs;
      for (const auto& [d, ordinal] : keyOf) {
        if (ordinal == k) docs.push_back(d);
      }
      builder.addDocuments(k, docs);
    }
    NumPairList pairs = builder.build();
    ASSERT_TRUE(pairs.unique());

    V result;
    for (uint32_t d = 0; d < documents + 10; ++d) {
      if (rng() % 3 == 0) result.push_back(d);
    }
    std::vector<std::pair<uint32_t, uint32_t>> model;
    for (uint32_t d : result) model.emplace_back(keyOf.count(d) ? keyOf[d] : 0, d);
    std::sort(model.begin(), model.end());
    V expected;
    for (const auto& entry : model) expected.push_back(entry.second);

    OrderedListPtr list = OrderedDocNumList::create(result);
    ASSERT_EQ(numbersOf(*pairs.order(*list, false)), expected);
    std::reverse(expected.begin(), expected.end());
    ASSERT_EQ(numbersOf(*pairs.order(*list, true)), expected);
  }
}

}  // namespace
}  // namespace dovrel::index
