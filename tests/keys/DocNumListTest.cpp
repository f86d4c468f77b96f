// Document-number lists: slice, union and intersection, against std::set models.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>

#include "keys/DocNumList.h"
#include "keys/KeysTestSupport.h"

namespace dovrel::index {
namespace {

using test::numbersOf;
using V = std::vector<uint32_t>;

OrderedListPtr ordered(const V& numbers) { return OrderedDocNumList::create(numbers); }

TEST(DocNumListTest, UnionAndIntersectionOfSmallLists) {
  OrderedListPtr a = ordered({1, 3, 5});
  OrderedListPtr b = ordered({3, 4});
  EXPECT_EQ(numbersOf(*unionOf(a, b)), (V{1, 3, 4, 5}));
  EXPECT_EQ(numbersOf(*intersectionOf(a, b)), (V{3}));
  EXPECT_EQ(numbersOf(*unionOf(b, a)), (V{1, 3, 4, 5}));
  EXPECT_EQ(numbersOf(*intersectionOf(b, a)), (V{3}));
  // Disjoint ranges, in either order, and empty operands.
  EXPECT_EQ(numbersOf(*unionOf(ordered({7, 8}), ordered({1, 2}))), (V{1, 2, 7, 8}));
  EXPECT_EQ(numbersOf(*unionOf(ordered({1, 2}), ordered({3}))), (V{1, 2, 3}));
  EXPECT_TRUE(intersectionOf(ordered({1, 2}), ordered({3, 4}))->empty());
  EXPECT_EQ(numbersOf(*unionOf(OrderedDocNumList::emptyList(), a)), (V{1, 3, 5}));
  EXPECT_TRUE(intersectionOf(a, OrderedDocNumList::emptyList())->empty());
}

// Regression: a list combined with itself (the same handle, e.g. a shared empty result)
// must give that list, not stop the server on a precondition.
TEST(DocNumListTest, ListCombinedWithItselfIsItself) {
  OrderedListPtr a = ordered({2, 4, 6});
  EXPECT_EQ(unionOf(a, a), a);
  EXPECT_EQ(intersectionOf(a, a), a);
  OrderedListPtr none = OrderedDocNumList::emptyList();
  EXPECT_TRUE(unionOf(none, none)->empty());
  EXPECT_TRUE(intersectionOf(none, none)->empty());
}

TEST(DocNumListTest, SliceClampsOffsetAndCountAndKeepsTheKind) {
  V ten{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  DocNumListPtr list = ordered(ten);
  EXPECT_EQ(numbersOf(*slice(list, 8, 5)), (V{8, 9}));
  EXPECT_TRUE(slice(list, 20, 5)->empty());
  EXPECT_TRUE(slice(list, 10, UINT32_MAX)->empty());
  EXPECT_TRUE(slice(list, 3, 0)->empty());
  EXPECT_EQ(numbersOf(*slice(list, 0, 3)), (V{0, 1, 2}));
  EXPECT_EQ(slice(list, 0, UINT32_MAX), list);  // the whole list is shared, not copied
  EXPECT_NE(dynamic_cast<const OrderedDocNumList*>(slice(list, 1, 2).get()), nullptr);

  DocNumListPtr unordered = UnorderedDocNumList::create(V{9, 3, 7, 1});
  DocNumListPtr part = slice(unordered, 1, 2);
  EXPECT_EQ(numbersOf(*part), (V{3, 7}));
  EXPECT_NE(dynamic_cast<const UnorderedDocNumList*>(part.get()), nullptr);
}

// Random sets of random shapes: dense, sparse, one far shorter than the other (the skewed
// intersection path), and disjoint ranges (the concatenating union path).
std::set<uint32_t> randomSet(std::mt19937& rng) {
  std::uniform_int_distribution<int> shape(0, 3);
  uint32_t size = std::uniform_int_distribution<uint32_t>(0, 3000)(rng);
  uint32_t base = std::uniform_int_distribution<uint32_t>(0, 5000)(rng);
  uint32_t spread = 0;
  switch (shape(rng)) {
    case 0:  // few, far apart
      size = std::min<uint32_t>(size, 20);
      spread = 1u << 29;
      break;
    case 1:  // dense
      spread = size * 2 + 1;
      break;
    case 2:  // sparse
      spread = 1u << 29;
      break;
    default:  // tiny range
      spread = 10;
      size = std::min<uint32_t>(size, 10);
      break;
  }
  std::uniform_int_distribution<uint32_t> number(0, spread);
  std::set<uint32_t> s;
  for (uint32_t i = 0; i < size; ++i) s.insert(base + number(rng));
  return s;
}

TEST(DocNumListModelTest, OperationsMatchSetModel) {
  for (uint32_t seed : test::testSeeds(30)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int round = 0; round < 20; ++round) {
      std::set<uint32_t> a = randomSet(rng);
      std::set<uint32_t> b = randomSet(rng);
      OrderedListPtr la = ordered(V(a.begin(), a.end()));
      OrderedListPtr lb = ordered(V(b.begin(), b.end()));

      V united;
      std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(united));
      V common;
      std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(common));
      ASSERT_EQ(numbersOf(*unionOf(la, lb)), united);
      ASSERT_EQ(numbersOf(*intersectionOf(la, lb)), common);
      ASSERT_EQ(numbersOf(*intersectionOf(lb, la)), common);

      uint32_t offset = std::uniform_int_distribution<uint32_t>(0, a.size() + 2)(rng);
      uint32_t count = std::uniform_int_distribution<uint32_t>(0, a.size() + 2)(rng);
      V all(a.begin(), a.end());
      V expected(all.begin() + std::min<std::size_t>(offset, all.size()),
                 all.begin() + std::min<std::size_t>(std::size_t{offset} + count, all.size()));
      ASSERT_EQ(numbersOf(*slice(la, offset, count)), expected);
    }
  }
}

}  // namespace
}  // namespace dovrel::index
