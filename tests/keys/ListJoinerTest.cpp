// The joiner's union of many runs.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "keys/KeysTestSupport.h"
#include "keys/ListJoiner.h"

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

// Runs written in place as a key scan writes them: in order, out of order, overlapping,
// sparse (sorted) and dense (bit set); join() and take() agree with a set, and a joiner
// that took its result starts empty.
TEST(ListJoinerTest, RunsWrittenInPlaceMatchSetModel) {
  for (uint32_t seed : test::testSeeds(10)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    for (uint32_t span : {100u, 5000u, 70000u, 1u << 29}) {
      for (bool ascendingRuns : {true, false}) {
        ListJoiner joiner;
        std::set<uint32_t> model;
        uint32_t floor = 0;
        const uint32_t runs = rng() % 50 + 1;
        for (uint32_t r = 0; r < runs; ++r) {
          std::set<uint32_t> run;
          const uint32_t from = ascendingRuns ? floor : 0;
          const uint32_t size = rng() % 30;
          for (uint32_t i = 0; i < size; ++i) run.insert(from + rng() % span);
          std::vector<uint32_t>& gathered = joiner.gathered();
          const std::size_t start = gathered.size();
          gathered.insert(gathered.end(), run.begin(), run.end());
          joiner.endRun(start);
          model.insert(run.begin(), run.end());
          if (!run.empty()) floor = *run.rbegin() + 1;
        }
        const V expected(model.begin(), model.end());
        ASSERT_EQ(numbersOf(*joiner.join()), expected) << "span " << span;
        ASSERT_EQ(numbersOf(*joiner.take()), expected) << "span " << span;
        EXPECT_TRUE(joiner.take()->empty());
      }
    }
  }
}

// Dense unions one after another on the same thread: numbers on the edges of the bit
// set's words and summary words, with repeats, then smaller and larger spans and fuller
// and emptier words, so that a bit left over from an earlier union would show in a later
// one.
TEST(ListJoinerTest, DenseUnionsInSuccessionLeaveNothingBehind) {
  const V edges{0, 63, 64, 4095, 4096, 4097, 8191, 8192, 12287};
  // A number every 97 fills most words; one every 397 leaves most empty.
  for (const uint32_t step : {97u, 397u, 97u}) {
    for (const uint32_t top : {12288u, 300u, 100000u, 64u, 12288u}) {
      ListJoiner joiner;
      std::set<uint32_t> model;
      for (uint32_t round = 0; round < 3; ++round) {
        std::vector<uint32_t>& gathered = joiner.gathered();
        const std::size_t start = gathered.size();
        for (const uint32_t edge : edges) {
          if (edge >= top) continue;
          gathered.push_back(top - 1 - edge);
          model.insert(top - 1 - edge);
        }
        for (uint32_t i = round; i < top; i += step) {
          gathered.push_back(i);
          model.insert(i);
        }
        joiner.endRuns(start);
      }
      ASSERT_EQ(numbersOf(*joiner.join()), V(model.begin(), model.end())) << "top " << top;
      ASSERT_EQ(numbersOf(*joiner.take()), V(model.begin(), model.end())) << "top " << top;
    }
  }
}

// A list added alone comes back as the same handle; a second one makes a new list.
TEST(ListJoinerTest, ALoneListIsGivenBackAsItIs) {
  ListJoiner joiner;
  const OrderedListPtr one = OrderedDocNumList::create(V{3, 9});
  joiner.add(one);
  joiner.add(OrderedDocNumList::emptyList());
  EXPECT_EQ(joiner.join(), one);
  joiner.add(OrderedDocNumList::create(V{1, 9, 12}));
  EXPECT_EQ(numbersOf(*joiner.take()), (V{1, 3, 9, 12}));
}

}  // namespace
}  // namespace dovrel::index
