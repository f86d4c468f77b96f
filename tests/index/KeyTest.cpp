// Key order, the sentinels and the four-way search comparison.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "index/IndexTestSupport.h"
#include "index/Key.h"

namespace dovrel::index {
namespace {

using test::K;
using test::key;
using namespace std::string_view_literals;

TEST(KeyTest, OrderIsBytewiseUnsignedWithShorterPrefixFirst) {
  // Each key is smaller than every key after it.
  const std::string ordered[] = {key(""),    key("\0"sv), key("\0\0"sv), key("ab"),
                                 key("abc"), key("b"),    key("\x7f"),   key("\xff")};
  for (std::size_t i = 0; i < std::size(ordered); ++i) {
    EXPECT_EQ(keyCompare(K(ordered[i]), K(ordered[i])), 0);
    for (std::size_t j = i + 1; j < std::size(ordered); ++j) {
      EXPECT_EQ(keyCompare(K(ordered[i]), K(ordered[j])), -1) << i << " vs " << j;
      EXPECT_EQ(keyCompare(K(ordered[j]), K(ordered[i])), 1) << j << " vs " << i;
    }
  }
  // A byte after the shorter key's end does not matter: only lengths decide.
  std::string longKey = key(std::string(255, 'z'));
  EXPECT_EQ(keyCompare(K(longKey), K(key(std::string(254, 'z')))), 1);
}

// The comparisons read keys a word at a time: a difference at every position of keys of
// every length around the word sizes, in either direction and with either key shorter,
// must order as the bytes do.
TEST(KeyTest, WordwiseComparisonAgreesWithTheBytesAtEveryPosition) {
  for (std::size_t length = 0; length <= 20; ++length) {
    const std::string base(length, '\x80');
    std::vector<std::string> others{base + "a", base.substr(0, length ? length - 1 : 0)};
    for (std::size_t at = 0; at < length; ++at) {
      for (char change : {'\x7f', '\x81', '\xff', '\0'}) {
        std::string other = base;
        other[at] = change;
        others.push_back(other);
      }
    }
    for (const std::string& other : others) {
      const int expected = base < other ? -1 : base == other ? 0 : 1;
      const auto a = key(base);
      const auto b = key(other);
      EXPECT_EQ(keyCompare(K(a), K(b)), expected) << length << " " << other.size();
      EXPECT_EQ(keyCompare(K(b), K(a)), -expected);
      EXPECT_EQ(keyEqual(K(a), K(b)), expected == 0);
    }
  }
}

TEST(KeyTest, SentinelsBoundEveryKey) {
  std::string empty = key("");
  std::string high = key(std::string(255, '\xff'));
  for (Key k : {K(empty), K(high)}) {
    EXPECT_EQ(keyCompare(keyMin, k), -1);
    EXPECT_EQ(keyCompare(k, keyMin), 1);
    EXPECT_EQ(keyCompare(keyMax, k), 1);
    EXPECT_EQ(keyCompare(k, keyMax), -1);
  }
  EXPECT_EQ(keyCompare(keyMin, keyMax), -1);
  EXPECT_EQ(keyCompare(keyMax, keyMin), 1);
}

TEST(KeyTest, SearchCodesOrderTheKeysTheyStandFor) {
  struct Case {
    const char* stored;
    const char* search;
    SearchCode code;
  } cases[] = {
      {"ab", "ab", SEARCH_EQUAL},       {"abc", "ab", SEARCH_EXTENDS}, {"ab", "", SEARCH_EXTENDS},
      {"", "", SEARCH_EQUAL},           {"b", "ab", SEARCH_GREATER},   {"ac", "ab", SEARCH_GREATER},
      {"a", "ab", SEARCH_SMALLER},      {"aa", "ab", SEARCH_SMALLER},  {"", "a", SEARCH_SMALLER},
      {"\xff", "\x7f", SEARCH_GREATER},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(keySearchCompare(K(key(c.stored)), K(key(c.search))), c.code)
        << "stored «" << c.stored << "» search «" << c.search << "»";
  }
}

TEST(KeyDeathTest, ComparingASentinelWithItselfIsFatal) {
  EXPECT_FATAL(keyCompare(keyMin, keyMin), "key1 != keyMin || key2 != keyMin");
  EXPECT_FATAL(keyCompare(keyMax, keyMax), "key1 != keyMax || key2 != keyMax");
}

}  // namespace
}  // namespace dovrel::index
