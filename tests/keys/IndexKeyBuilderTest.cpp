// Document keys and query keys of field values for every index kind.
#include <gtest/gtest.h>

#include <random>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "keys/IndexKeyBuilder.h"
#include "keys/KeysTestSupport.h"
#include "keys/TextNormalizer.h"

namespace dovrel::index {
namespace {

using Keys = std::vector<std::string>;
using namespace std::string_literals;

class IndexKeyBuilderTest : public ::testing::Test {
 protected:
  Keys keysOf(std::string_view kind, std::string_view value, FieldType type = FieldType::TEXT) {
    Keys keys;
    builder_.forEachDocumentKey(IndexKind::parse(kind, "t.f.i"), type, value,
                                [&](Key key) { keys.push_back(test::keyBytes(key)); });
    return keys;
  }
  static std::string queryKey(std::string_view kind, std::string_view value,
                              FieldType type = FieldType::TEXT) {
    KeyBuffer key;
    IndexKeyBuilder::queryKey(IndexKind::parse(kind, "t.f.i"), type, value, "t.f.i", key);
    return test::keyBytes(key.data());
  }

  IndexKeyBuilder builder_;
};

TEST_F(IndexKeyBuilderTest, WholeKinds) {
  EXPECT_EQ(keysOf("whole-alphanum", "Ёлка-2"_cp1251), Keys{std::string("ЕЛКА2"_cp1251)});
  EXPECT_EQ(queryKey("whole-alphanum", "елка2"_cp1251), std::string("ЕЛКА2"_cp1251));
  EXPECT_EQ(keysOf("whole-alphanum", "-- ,"), Keys{""});
  EXPECT_EQ(keysOf("whole", "Ёлка-2"_cp1251), Keys{std::string("ЕЛКА-2"_cp1251)});
  EXPECT_EQ(keysOf("whole", ""), Keys{""});
  std::string longValue(300, 'x');
  EXPECT_EQ(keysOf("whole", longValue), Keys{std::string(250, 'X')});
  EXPECT_EQ(queryKey("whole", longValue), std::string(250, 'X'));
  EXPECT_EQ(queryKey("words", "a b"), "A B");  // a query value is never split into words
}

// Regression: a whole-alphanum query key is reduced to letters and digits before it is cut
// to 250, like the document key; cut first, a long value would not find itself.
TEST_F(IndexKeyBuilderTest, LongWholeAlphanumValueFindsItself) {
  std::string value;
  std::string letters;
  for (int i = 0; i < 120; ++i) {
    value += "ab, ";
    letters += "AB";
  }
  value += std::string(40, 'c');
  letters += std::string(10, 'C');  // 250 letters in all
  EXPECT_EQ(keysOf("whole-alphanum", value), Keys{letters});
  EXPECT_EQ(queryKey("whole-alphanum", value), letters);
}

TEST_F(IndexKeyBuilderTest, WordKinds) {
  EXPECT_EQ(keysOf("words", "a  b,c"), (Keys{"A", "B", "C"}));
  EXPECT_EQ(keysOf("words", "to be or not to be"), (Keys{"TO", "BE", "OR", "NOT", "TO", "BE"}));
  EXPECT_EQ(keysOf("words", " ,. "), Keys{});
  EXPECT_EQ(keysOf("words-prefix", "ab"), (Keys{"", "A", "AB"}));
  EXPECT_EQ(keysOf("words-suffix", "abc d"), (Keys{"", "C", "BC", "ABC", "", "D"}));
  EXPECT_EQ(keysOf("words-substr", "abc"), (Keys{"", "A", "B", "C", "AB", "BC", "ABC"}));
  EXPECT_EQ(keysOf("words-near0", "x y z"), (Keys{"X Y", "Y Z"}));
  EXPECT_EQ(keysOf("words-near1", "x y z"), (Keys{"X Y", "X Z", "Y Z"}));
  EXPECT_EQ(keysOf("words-near2", "a b c d"), (Keys{"A B", "A C", "B C", "A D", "B D", "C D"}));
  EXPECT_EQ(keysOf("words-near0", "alone"), Keys{});
}

TEST_F(IndexKeyBuilderTest, LongWordsAreCutAtTheirLimits) {
  std::string word;
  for (int i = 0; i < 300; ++i) word += static_cast<char>('a' + i % 26);
  std::string upper = word;
  TextNormalizer::normalize(upper.data(), upper.size());

  EXPECT_EQ(keysOf("words", word + " x"), (Keys{upper.substr(0, 250), "X"}));
  Keys prefixes = keysOf("words-prefix", word);
  ASSERT_EQ(prefixes.size(), 251u);
  EXPECT_EQ(prefixes.back(), upper.substr(0, 250));
  Keys suffixes = keysOf("words-suffix", word);
  ASSERT_EQ(suffixes.size(), 251u);
  EXPECT_EQ(suffixes.back(), upper.substr(50));  // the last 250 bytes of the whole word
  Keys substrings = keysOf("words-substr", word);
  // The empty key, then for each length 1..250 every position in the 300-byte word.
  std::size_t count = 1;
  for (std::size_t l = 1; l <= 250; ++l) count += 300 - l + 1;
  ASSERT_EQ(substrings.size(), count);
  EXPECT_EQ(substrings.back(), upper.substr(50, 250));
  std::size_t longest = 0;
  for (const std::string& k : substrings) longest = std::max(longest, k.size());
  EXPECT_EQ(longest, 250u);

  Keys pair = keysOf("words-near0", word + " " + word.substr(0, 150));
  EXPECT_EQ(pair, Keys{upper.substr(0, 100) + " " + upper.substr(0, 100)});
}

TEST_F(IndexKeyBuilderTest, TypedValues) {
  EXPECT_EQ(keysOf("whole", "-1", FieldType::INT64), Keys{"\x7f\xff\xff\xff\xff\xff\xff\xff"});
  EXPECT_EQ(keysOf("whole", "07.04.2008", FieldType::DATE), Keys{"\x07\xD8\x04\x07"});
  EXPECT_EQ(queryKey("whole", "12:30", FieldType::TIME), "\x0C\x1E\x00"s);
  try {
    queryKey("whole", "1e5", FieldType::DOUBLE);
    FAIL() << "accepted";
  } catch (const SemanticError& error) {
    EXPECT_EQ(error.message(),
              std::string("значение 1e5 не соответствует типу поля/индекса t.f.i"_cp866));
  }
}

// A sink that fails in the middle of a value leaves the builder whole: the bytes it lent
// out as length bytes are put back, and the next value gives its own keys.
TEST_F(IndexKeyBuilderTest, FailingSinkLeavesBuilderUsable) {
  IndexKind substr = IndexKind::parse("words-substr", "t.f.i");
  int calls = 0;
  auto failing = [&](Key) {
    if (++calls == 5) throw DiskOrMemoryError("ошибка работы с индексом"_cp866);
  };
  EXPECT_THROW(builder_.forEachDocumentKey(substr, FieldType::TEXT, "abcdef", failing),
               DiskOrMemoryError);
  EXPECT_EQ(keysOf("words-substr", "xyz"), (Keys{"", "X", "Y", "Z", "XY", "YZ", "XYZ"}));
  EXPECT_EQ(keysOf("whole", "ab"), Keys{"AB"});  // shorter than before: no stale bytes
}

// Random texts against a plain model built with std::string: words split, cut and paired
// without any in-place tricks.
Keys modelKeys(const IndexKind& spec, std::string text) {
  TextNormalizer::normalize(text.data(), text.size());
  std::vector<std::string> words;
  std::string current;
  for (char c : text + ' ') {
    if (TextNormalizer::isWordByte(static_cast<uint8_t>(c))) {
      current += c;
    } else if (!current.empty()) {
      words.push_back(current);
      current.clear();
    }
  }
  Keys keys;
  for (std::size_t w = 0; w < words.size(); ++w) {
    const std::string& word = words[w];
    std::size_t limit = std::min<std::size_t>(word.size(), 250);
    switch (spec.baseKind()) {
      case BaseKind::WORDS:
        keys.push_back(word.substr(0, 250));
        break;
      case BaseKind::WORDS_PREFIX:
        keys.push_back("");
        for (std::size_t l = 1; l <= limit; ++l) keys.push_back(word.substr(0, l));
        break;
      case BaseKind::WORDS_SUFFIX:
        keys.push_back("");
        for (std::size_t l = 1; l <= limit; ++l) keys.push_back(word.substr(word.size() - l));
        break;
      case BaseKind::WORDS_SUBSTR:
        keys.push_back("");
        for (std::size_t l = 1; l <= limit; ++l) {
          for (std::size_t at = 0; at + l <= word.size(); ++at) keys.push_back(word.substr(at, l));
        }
        break;
      case BaseKind::WORDS_NEAR:
        for (std::size_t e = w >= spec.nearDistance() + 1 ? w - spec.nearDistance() - 1 : 0; e < w;
             ++e) {
          keys.push_back(words[e].substr(0, 100) + " " + word.substr(0, 100));
        }
        break;
      default:
        break;
    }
  }
  return keys;
}

TEST_F(IndexKeyBuilderTest, WordKindsMatchPlainModel) {
  const std::string alphabet = std::string("aZ9 ,-") + std::string("яЁёЖ№"_cp1251);
  const char* kinds[] = {"words",       "words-prefix", "words-suffix", "words-substr",
                         "words-near0", "words-near3",  "words-near9"};
  for (uint32_t seed : test::testSeeds(10)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int round = 0; round < 30; ++round) {
      std::string text;
      uint32_t length = std::uniform_int_distribution<uint32_t>(0, 400)(rng);
      bool longRuns = rng() % 4 == 0;  // words of hundreds of bytes
      for (uint32_t i = 0; i < length; ++i) {
        std::size_t pick = rng() % alphabet.size();
        if (longRuns && (pick == 3 || pick == 4 || pick == 5) && rng() % 50 != 0) pick = 0;
        text += alphabet[pick];
      }
      for (const char* kind : kinds) {
        IndexKind spec = IndexKind::parse(kind, "t.f.i");
        ASSERT_EQ(keysOf(kind, text), modelKeys(spec, text)) << kind << " over " << text;
      }
    }
  }
}

}  // namespace
}  // namespace dovrel::index
