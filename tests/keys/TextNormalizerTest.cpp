// Folding of code page 1251 text and the bytes that make up words.
#include <gtest/gtest.h>

#include <string>

#include "foundation/Cp866.h"
#include "keys/TextNormalizer.h"

namespace dovrel::index {
namespace {

std::string folded(std::string_view text) {
  std::string bytes(text);
  TextNormalizer::normalize(bytes.data(), bytes.size());
  return bytes;
}

TEST(TextNormalizerTest, FoldsLatinAndCyrillicToUpperCase) {
  EXPECT_EQ(folded("Ёлка-2 ёж"_cp1251), std::string("ЕЛКА-2 ЕЖ"_cp1251));
  EXPECT_EQ(folded("azAZ09_{}"), "AZAZ09_{}");
  EXPECT_EQ(folded("абвгдеёжзийклмнопрстуфхцчшщъыьэюя"_cp1251),
            std::string("АБВГДЕЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"_cp1251));
  // Other letters of the code page and the rest of the bytes are kept.
  EXPECT_EQ(folded(std::string("іїєў«»"_cp1251) + "\x80\xFE\x7F"),
            std::string("іїєў«»"_cp1251) + "\x80\xDE\x7F");
  // Folding folded text changes nothing.
  std::string once = folded("Ёлка, ёлочка; YES 123"_cp1251);
  EXPECT_EQ(folded(once), once);
}

TEST(TextNormalizerTest, WordBytesAreDigitsLatinAndCyrillicCapitals) {
  for (char c : std::string("09AZ") + std::string("АЯЕ"_cp1251)) {
    EXPECT_TRUE(TextNormalizer::isWordByte(static_cast<uint8_t>(c))) << int(c);
  }
  for (char c : std::string(" -_.,az\t\x7F") + std::string("Ёёяі№"_cp1251)) {
    EXPECT_FALSE(TextNormalizer::isWordByte(static_cast<uint8_t>(c))) << int(c);
  }
}

}  // namespace
}  // namespace dovrel::index
