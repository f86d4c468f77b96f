// Index kind texts: options, base kinds, every refusal text, writing back, the kinds' field
// types and their search operations.
#include <gtest/gtest.h>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "keys/IndexKind.h"

namespace dovrel::index {
namespace {

const std::string FULL_NAME = "t.f.i";

// The message of the refusal of `kindText`, or "" when it is accepted.
std::string refusal(std::string_view kindText) {
  try {
    IndexKind::parse(kindText, FULL_NAME);
    return "";
  } catch (const SemanticError& error) {
    return error.message();
  }
}

std::string expected(std::string_view kindText, std::string_view tail) {
  return std::string(kindText) + std::string(" - недопустимый вид индекса "_cp866) + FULL_NAME +
         std::string(tail);
}

TEST(IndexKindTest, BaseKindsAndOptions) {
  IndexKind plain = IndexKind::parse("words", FULL_NAME);
  EXPECT_EQ(plain.baseKind(), BaseKind::WORDS);
  EXPECT_EQ(plain.mergeMultiplier(), 2u);
  EXPECT_FALSE(plain.mergeMultiplierGiven());
  EXPECT_EQ(plain.clusterSizeLog(), 20u);
  EXPECT_FALSE(plain.clusterSizeGiven());

  IndexKind options = IndexKind::parse("whole-alphanum size=16 mult=99", FULL_NAME);
  EXPECT_EQ(options.baseKind(), BaseKind::WHOLE_ALPHANUM);
  EXPECT_EQ(options.clusterLength(), 65536u);
  EXPECT_TRUE(options.clusterSizeGiven());
  EXPECT_EQ(options.mergeMultiplier(), 99u);
  EXPECT_TRUE(options.mergeMultiplierGiven());

  // Options may come in either order; only the blank before each one is needed.
  EXPECT_EQ(IndexKind::parse("words-suffix mult=2 size=24", FULL_NAME),
            IndexKind::parse("words-suffix size=24 mult=2", FULL_NAME));
  for (char n = '0'; n <= '9'; ++n) {
    IndexKind near = IndexKind::parse(std::string("words-near") + n, FULL_NAME);
    EXPECT_EQ(near.baseKind(), BaseKind::WORDS_NEAR);
    EXPECT_EQ(near.nearDistance(), static_cast<uint32_t>(n - '0'));
  }
}

TEST(IndexKindTest, RefusalTexts) {
  const std::string_view MULT = ": недопустимое значение после mult="_cp866;
  const std::string_view SIZE = ": недопустимое значение после size="_cp866;
  const std::string_view BASE = ": недопустимая базовая часть "_cp866;
  struct Case {
    std::string_view text;
    std::string message;
  } cases[] = {
      {"words mult=1", expected("words mult=1", MULT)},
      {"words mult=100", expected("words mult=100", MULT)},
      {"words mult=", expected("words mult=", MULT)},
      {"words mult=3x", expected("words mult=3x", MULT)},
      {"words mult=99999999999999999999", expected("words mult=99999999999999999999", MULT)},
      {"words size=25", expected("words size=25", SIZE)},
      {"words size=15", expected("words size=15", SIZE)},
      {"words size=-20", expected("words size=-20", SIZE)},
      {"word", expected("word", std::string(BASE) + "word")},
      {"Words", expected("Words", std::string(BASE) + "Words")},
      {"words-near", expected("words-near", std::string(BASE) + "words-near")},
      {"words-near10", expected("words-near10", std::string(BASE) + "words-near10")},
      {"words-nearx", expected("words-nearx", std::string(BASE) + "words-nearx")},
      // What is left once the options are taken out must be a kind by itself.
      {"words  mult=3", expected("words  mult=3", std::string(BASE) + "words ")},
      {"words mult=3 mult=4", expected("words mult=3 mult=4", std::string(BASE) + "words mult=4")},
      {"mult=3 words", expected("mult=3 words", std::string(BASE) + "mult=3 words")},
      {"", expected("", BASE)},
      // A bad multiplier is reported before a bad size or base kind.
      {"word size=99 mult=0", expected("word size=99 mult=0", MULT)},
      {"word size=99", expected("word size=99", SIZE)},
  };
  for (const Case& c : cases) EXPECT_EQ(refusal(c.text), c.message) << c.text;
}

TEST(IndexKindTest, KindTextWritesOnlyGivenOptionsAndReadsBack) {
  EXPECT_EQ(IndexKind::parse("words", FULL_NAME).kindText(), "words");
  EXPECT_EQ(IndexKind::parse("words mult=2", FULL_NAME).kindText(), "words mult=2");
  EXPECT_EQ(IndexKind::parse("words mult=07 size=17", FULL_NAME).kindText(),
            "words size=17 mult=7");
  EXPECT_EQ(IndexKind::parse("words-near4 size=20", FULL_NAME).kindText(), "words-near4 size=20");
  for (std::string_view text :
       {"whole", "whole-alphanum mult=5", "words-prefix size=24", "words-substr size=16 mult=3",
        "words-near0", "words-suffix mult=99"}) {
    IndexKind spec = IndexKind::parse(text, FULL_NAME);
    EXPECT_EQ(IndexKind::parse(spec.kindText(), FULL_NAME), spec) << text;
  }
}

TEST(IndexKindTest, KindsApplyToTheirFieldTypes) {
  const FieldType valueTypes[] = {FieldType::INT64, FieldType::DOUBLE, FieldType::DATE,
                                  FieldType::TIME, FieldType::DATETIME};
  const BaseKind textOnly[] = {BaseKind::WHOLE_ALPHANUM, BaseKind::WORDS,
                               BaseKind::WORDS_PREFIX,   BaseKind::WORDS_SUFFIX,
                               BaseKind::WORDS_SUBSTR,   BaseKind::WORDS_NEAR};
  EXPECT_TRUE(compatible(FieldType::TEXT, BaseKind::WHOLE));
  for (FieldType type : valueTypes) EXPECT_TRUE(compatible(type, BaseKind::WHOLE));
  for (BaseKind kind : textOnly) {
    EXPECT_TRUE(compatible(FieldType::TEXT, kind));
    for (FieldType type : valueTypes) EXPECT_FALSE(compatible(type, kind));
  }
  for (FieldType type : {FieldType::BINARY, FieldType::FILE}) {
    EXPECT_FALSE(compatible(type, BaseKind::WHOLE));
    for (BaseKind kind : textOnly) EXPECT_FALSE(compatible(type, kind));
  }
}

std::string operationRefusal(std::string_view kind, IndexOperation op, FieldType type) {
  try {
    IndexKind::parse(kind, FULL_NAME).checkOperation(op, type);
    return "";
  } catch (const SemanticError& error) {
    return error.message();
  }
}

TEST(IndexKindTest, OperationsOfferedByEachKind) {
  const std::string prefixOnly(
      "операция prefix применима только к индексам whole, whole-alphanum, words, words-substr, "
      "words-prefix полей типа text"_cp866);
  EXPECT_EQ(operationRefusal("words", IndexOperation::LESS, FieldType::TEXT),
            std::string("операция '<' применима только к индексам whole и whole-alphanum"_cp866));
  EXPECT_EQ(operationRefusal("words-near2", IndexOperation::RANGE, FieldType::TEXT),
            std::string("операция range применима только к индексам whole и whole-alphanum"_cp866));
  EXPECT_EQ(operationRefusal("words-prefix", IndexOperation::NOT_EQUAL, FieldType::TEXT),
            std::string("операция '<>' применима только к индексам whole и whole-alphanum"_cp866));
  EXPECT_EQ(operationRefusal("whole", IndexOperation::GREATER_OR_EQUAL, FieldType::DATE), "");
  EXPECT_EQ(operationRefusal("whole-alphanum", IndexOperation::LESS_OR_EQUAL, FieldType::TEXT), "");
  EXPECT_EQ(operationRefusal("words-suffix", IndexOperation::EQUAL, FieldType::TEXT), "");

  EXPECT_EQ(operationRefusal("whole", IndexOperation::PREFIX, FieldType::INT64), prefixOnly);
  EXPECT_EQ(operationRefusal("words-suffix", IndexOperation::PREFIX, FieldType::TEXT), prefixOnly);
  EXPECT_EQ(operationRefusal("words-near0", IndexOperation::PREFIX, FieldType::TEXT), prefixOnly);
  for (std::string_view kind : {"whole", "whole-alphanum", "words"}) {
    EXPECT_EQ(operationRefusal(kind, IndexOperation::PREFIX, FieldType::TEXT), "");
    EXPECT_EQ(IndexKind::parse(kind, FULL_NAME).prefixSearch(), PrefixSearch::KEY_PREFIXES);
  }
  for (std::string_view kind : {"words-prefix", "words-substr"}) {
    EXPECT_EQ(operationRefusal(kind, IndexOperation::PREFIX, FieldType::TEXT), "");
    EXPECT_EQ(IndexKind::parse(kind, FULL_NAME).prefixSearch(), PrefixSearch::EQUAL_KEY);
  }
}

}  // namespace
}  // namespace dovrel::index
