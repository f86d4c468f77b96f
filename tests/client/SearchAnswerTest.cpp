// Decoding search answers and telling search commands apart.
#include <gtest/gtest.h>

#include "client/AnswerFormatter.h"
#include "client/SearchAnswer.h"

namespace dovrel::client {
namespace {

std::string numbers(std::initializer_list<uint32_t> values) {
  std::string bytes;
  for (uint32_t v : values) {
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((v >> shift) & 0xFF);
  }
  return bytes;
}

TEST(SearchAnswerTest, DecodesPlainAndSlicedCounts) {
  SearchAnswer answer;
  std::string error;
  ASSERT_TRUE(
      decodeSearchAnswer("OK\r\n3\r\n" + numbers({5, 0x01020304, 0xFFFFFFFF}), &answer, &error))
      << error;
  EXPECT_EQ(answer.returned, 3u);
  EXPECT_EQ(answer.found, 3u);
  EXPECT_EQ(answer.documents, (std::vector<uint32_t>{5, 0x01020304, 0xFFFFFFFF}));

  ASSERT_TRUE(decodeSearchAnswer("OK\r\n2 of 3\r\n" + numbers({9, 7}), &answer, &error));
  EXPECT_EQ(answer.countLine, "2 of 3");
  EXPECT_EQ(answer.found, 3u);

  ASSERT_TRUE(decodeSearchAnswer("OK\r\n0 of 3\r\n", &answer, &error));
  EXPECT_TRUE(answer.documents.empty());
  ASSERT_TRUE(decodeSearchAnswer("OK\r\n0\r\n", &answer, &error));
}

TEST(SearchAnswerTest, RefusesAnswersThatDoNotAddUp) {
  const std::string cases[] = {
      "ERROR\r\nнет",
      "OK\r\n2\r\n" + numbers({1}),
      "OK\r\n1\r\n" + numbers({1, 2}),
      "OK\r\n1\r\n123",
      "OK\r\nx\r\n",
      "OK\r\n1 of\r\n" + numbers({1}),
      "OK\r\n1 of 2 \r\n",
      "OK\r\n3",
      "OK\r\n99999999999\r\n",
  };
  for (const std::string& text : cases) {
    SearchAnswer answer;
    std::string error;
    EXPECT_FALSE(decodeSearchAnswer(text, &answer, &error)) << text;
    EXPECT_FALSE(error.empty());
  }
}

TEST(SearchAnswerTest, SearchCommandIsTheWordSelectInAnyCase) {
  EXPECT_TRUE(isSearchCommand("select from t where a.b = 1;"));
  EXPECT_TRUE(isSearchCommand("\r\n  SELECT\tfrom t"));
  EXPECT_TRUE(isSearchCommand("select"));
  EXPECT_FALSE(isSearchCommand("selection from t"));
  EXPECT_FALSE(isSearchCommand("get index t.a.b length;"));
  EXPECT_FALSE(isSearchCommand("sel"));
}

TEST(AnswerFormatterTest, ShowsSearchesAsNumbersAndTextAsUtf8) {
  EXPECT_EQ(formatAnswer("OK\r\n2 of 5\r\n" + numbers({10, 4000000000u}), true, false),
            "OK\n2 of 5\n10\n4000000000\n");
  // "Ошибка" in code page 866; line ends shown as "\n", one added at the end.
  const std::string error = "ERROR\r\n\x8E\xE8\xA8\xA1\xAA\xA0";
  EXPECT_EQ(formatAnswer(error, true, false), "ERROR\nОшибка\n");
  EXPECT_EQ(formatAnswer(error, false, true), error);
  EXPECT_EQ(formatAnswer("OK\r\ncomplete", false, false), "OK\ncomplete\n");
  // A value ("мир" in code page 1251) in a counted string, then the raw bytes kept.
  const std::string value = "OK\r\n#3#\xEC\xE8\xF0#";
  EXPECT_EQ(formatAnswer(value, false, false), "OK\n#3#мир#\n");
  EXPECT_EQ(formatAnswer(value, false, true), value);
  EXPECT_EQ(formatAnswer(value, false, false, ValueCodePage::VALUES_866), "OK\n#3#ьшЁ#\n");
}

}  // namespace
}  // namespace dovrel::client
