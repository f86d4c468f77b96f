// Tests of the code page conversions: compile-time literals against known bytes, and the
// run-time conversions to and from UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "foundation/Cp866.h"

using namespace dovrel;

namespace {

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 0xF];
  }
  return out;
}

}  // namespace

TEST(Cp866LiteralTest, KnownBytes) {
  EXPECT_EQ(hex("Ошибка"_cp866), "8E E8 A8 A1 AA A0");
  EXPECT_EQ(hex("ёЁ"_cp866), "F1 F0");
  EXPECT_EQ(hex("АЯаярп"_cp866), "80 9F A0 EF E0 AF");
  EXPECT_EQ(hex("OK\r\n"_cp866), "4F 4B 0D 0A");
  EXPECT_EQ(hex("№"_cp866), "FC");
  EXPECT_EQ(""_cp866.size(), 0u);
  static_assert("Ошибка"_cp866.size() == 6);
}

TEST(Cp866LiteralTest, CodePage1251Literals) {
  EXPECT_EQ(hex("чтение"_cp1251), "F7 F2 E5 ED E8 E5");
  EXPECT_EQ(hex("ёЁАя"_cp1251), "B8 A8 C0 FF");
}

TEST(Cp866ConversionTest, EveryByteSurvivesTheRoundTripThroughUtf8) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::string utf8 = cp866ToUtf8(all);
  EXPECT_EQ(utf8ToCp866(utf8), all);
  EXPECT_EQ(cp866ToUtf8("Ошибка в строке"_cp866), "Ошибка в строке");
  EXPECT_EQ(cp866ToUtf8("\xB0\xDB\xFF"), "\u2591\u2588\u00A0");
}

TEST(Cp866ConversionTest, Utf8ThatTheCodePageCannotHoldBecomesQuestionMarks) {
  EXPECT_EQ(utf8ToCp866("Ёлка €5"), std::string("\xF0\xAB\xAA\xA0 ?5"));
  EXPECT_EQ(utf8ToCp866("😀"), "?");
  // Malformed or cut sequences: one question mark per bad byte, and decoding goes on.
  EXPECT_EQ(utf8ToCp866("a\xD0"), "a?");
  EXPECT_EQ(utf8ToCp866("\xE2\x82x"), "??x");
  EXPECT_EQ(utf8ToCp866("\xC0\xAF"), "??");  // over-long form of "/"
  EXPECT_EQ(utf8ToCp866("\xFF"), "?");
}

TEST(Cp866ConversionTest, CodePage1251ToUtf8) {
  EXPECT_EQ(cp1251ToUtf8("\xF7\xF2\xE5\xED\xE8\xE5 \xA8"), "чтение Ё");
  EXPECT_EQ(cp1251ToUtf8("\x98"), "\uFFFD");  // the one undefined byte
}
