// Ordering results by the keys of a sort index: KeyDocBuilder, unique and order, and the
// slices of SortOrder.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "keys/KeyDocBuilder.h"
#include "keys/KeysTestSupport.h"
#include "keys/NumPairList.h"
#include "keys/SortOrder.h"

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
  // The kept order sees the same conflict, also when the second key comes in between.
  const auto keyOf = [](uint32_t ordinal) { return std::string(1, '\1') + char('A' + ordinal); };
  SortOrder order;
  for (const auto& [ordinal, docs] :
       std::vector<std::pair<uint32_t, V>>{{1, {1, 2}}, {2, {3, 9}}, {3, {0, 9}}}) {
    const std::string stored = keyOf(ordinal);
    order.addKey(reinterpret_cast<Key>(stored.data()), docs);
  }
  order.finish();
  EXPECT_FALSE(order.unique());
}

TEST(SortOrderTest, AnIndexWithoutKeysKeepsTheNumberOrder) {
  SortOrder order;
  order.finish();
  ASSERT_TRUE(order.unique());
  EXPECT_TRUE(order.empty());
  const OrderedListPtr result = OrderedDocNumList::create(V{0, 4, 7});
  EXPECT_EQ(numbersOf(*order.slice(result, false, 1, 5)), (V{4, 7}));
  EXPECT_EQ(numbersOf(*order.slice(result, true, 0, 2)), (V{7, 4}));
  EXPECT_TRUE(order.slice(result, false, 3, 1)->empty());
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

namespace dovrel::index {
namespace {

// SortOrder's slices against the whole result ordered by NumPairList and then cut: sparse
// and dense results (the selection and the walk in key order), the result of every keyed
// document itself, documents without a key, equal keys, both directions, and offsets and
// counts at, inside and past either end.
TEST(SortOrderTest, SlicesMatchTheWholeOrderCut) {
  for (uint32_t seed : test::testSeeds(10)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const uint32_t documents = 50 + rng() % 400;
    const uint32_t keyCount = 1 + rng() % 60;
    std::map<uint32_t, V> byKey;  // ordinal -> documents
    // Most documents with a key, or (every other seed) few: then a walk in key order runs
    // out of keys before the documents without one.
    const uint32_t keyedInTwenty = seed % 2 == 0 ? 16 : 1;
    for (uint32_t document = 0; document < documents; ++document) {
      if (rng() % 20 < keyedInTwenty) byKey[1 + rng() % keyCount].push_back(document);
    }
    KeyDocBuilder builder;
    SortOrder order;
    for (const auto& [ordinal, docs] : byKey) {
      builder.addDocuments(ordinal, docs);
      const std::string stored = std::string(1, '\2') + static_cast<char>(ordinal / 256) +
                                 static_cast<char>(ordinal % 256);
      order.addKey(reinterpret_cast<Key>(stored.data()), docs);
    }
    order.finish();
    const NumPairList pairs = builder.build();
    ASSERT_TRUE(order.unique());
    // Shapes: sparse, half, every document, the keyed documents, a run without gaps.
    for (uint32_t shape = 0; shape < 5; ++shape) {
      OrderedListPtr result = order.keyed();
      if (shape == 4) {
        V numbers;
        for (uint32_t document = rng() % (documents / 2 + 1); document < documents + 5;
             ++document) {
          numbers.push_back(document);
        }
        result = OrderedDocNumList::create(numbers);
      } else if (shape != 3) {
        V numbers;
        const uint32_t keepOneIn = shape == 0 ? 20 : shape == 1 ? 2 : 1;
        for (uint32_t document = 0; document < documents + 5; ++document) {
          if (rng() % keepOneIn == 0) numbers.push_back(document);
        }
        result = OrderedDocNumList::create(numbers);
      }
      for (const bool descending : {false, true}) {
        const V whole = numbersOf(*pairs.order(*result, descending));
        const uint32_t n = result->length();
        for (const uint32_t offset : {0u, 1u, n / 3, n > 0 ? n - 1 : 0u, n, n + 4}) {
          for (const uint32_t count : {0u, 1u, 7u, n, UINT32_MAX}) {
            const std::size_t from = std::min<std::size_t>(offset, n);
            const std::size_t to = std::min<std::size_t>(n, uint64_t{offset} + count);
            const V expected(whole.begin() + from, whole.begin() + std::max(from, to));
            ASSERT_EQ(numbersOf(*order.slice(result, descending, offset, count)), expected)
                << "shape " << shape << " descending " << descending << " offset " << offset
                << " count " << count;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace dovrel::index
