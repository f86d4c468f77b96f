// Tests of the Scanner: token rules, counted and quoted strings, limits, positions and
// the exact refusal texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"

using namespace dovrel;

namespace {

// Every token kind up to and including TOKEN_END.
std::vector<TokenKind> kindsOf(std::string_view text) {
  Scanner s{TextView(text)};
  std::vector<TokenKind> kinds;
  do {
    s.next();
    kinds.push_back(s.kind());
  } while (s.kind() != TOKEN_END);
  return kinds;
}

// The positioned text thrown while scanning the whole text, or "" when none is.
std::string scanError(std::string_view text) {
  Scanner s{TextView(text)};
  try {
    do s.next();
    while (s.kind() != TOKEN_END);
  } catch (const TextError& e) {
    return e.text();
  }
  return "";
}

std::string positioned(int line, int column, std::string_view message) {
  return std::string("Ошибка в строке "_cp866) + std::to_string(line) +
         std::string(" столбце "_cp866) + std::to_string(column) + ": " + std::string(message);
}

// The first string token of the text.
std::string firstString(std::string_view text) {
  Scanner s{TextView(text)};
  s.next();
  EXPECT_EQ(s.kind(), TOKEN_STRING) << text;
  return s.string().toString();
}

template <typename F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const TextError& e) {
    return e.text();
  }
  return "";
}

}  // namespace

TEST(ScannerTokensTest, PunctuationAndComparisons) {
  EXPECT_EQ(
      kindsOf("{};:.,()="),
      (std::vector<TokenKind>{TOKEN_LBRACE, TOKEN_RBRACE, TOKEN_SEMICOLON, TOKEN_COLON, TOKEN_DOT,
                              TOKEN_COMMA, TOKEN_LPAREN, TOKEN_RPAREN, TOKEN_EQUAL, TOKEN_END}));
  EXPECT_EQ(kindsOf("a<>b"),
            (std::vector<TokenKind>{TOKEN_NAME, TOKEN_NOT_EQUAL, TOKEN_NAME, TOKEN_END}));
  EXPECT_EQ(kindsOf("a< =b"),
            (std::vector<TokenKind>{TOKEN_NAME, TOKEN_LESS, TOKEN_EQUAL, TOKEN_NAME, TOKEN_END}));
  EXPECT_EQ(kindsOf("<=>=<>"), (std::vector<TokenKind>{TOKEN_LESS_EQUAL, TOKEN_GREATER_EQUAL,
                                                       TOKEN_NOT_EQUAL, TOKEN_END}));
  EXPECT_EQ(kindsOf("> =<1>"), (std::vector<TokenKind>{TOKEN_GREATER, TOKEN_EQUAL, TOKEN_LESS,
                                                       TOKEN_NUMBER, TOKEN_GREATER, TOKEN_END}));
  // "<" and ">" as the last character must not read past the text.
  EXPECT_EQ(kindsOf("<"), (std::vector<TokenKind>{TOKEN_LESS, TOKEN_END}));
  EXPECT_EQ(kindsOf(">"), (std::vector<TokenKind>{TOKEN_GREATER, TOKEN_END}));
}

TEST(ScannerTokensTest, OnlyBlankCarriageReturnAndLineFeedSeparate) {
  EXPECT_EQ(kindsOf(" \r\n a \r\n"), (std::vector<TokenKind>{TOKEN_NAME, TOKEN_END}));
  EXPECT_EQ(scanError("a\tb"), positioned(1, 2, "недопустимый символ"_cp866));
  EXPECT_EQ(scanError("a\n\x8E"), positioned(2, 1, "недопустимый символ"_cp866));  // Cyrillic О
  EXPECT_EQ(scanError("a-1"), positioned(1, 2, "недопустимый символ"_cp866));
}

TEST(ScannerTokensTest, ZeroByteEndsTheText) {
  EXPECT_EQ(kindsOf(std::string_view("a\0b", 3)), (std::vector<TokenKind>{TOKEN_NAME, TOKEN_END}));
  Scanner empty{TextView()};
  empty.next();
  EXPECT_EQ(empty.kind(), TOKEN_END);
  empty.next();  // reading on at the end stays at the end
  EXPECT_EQ(empty.kind(), TOKEN_END);
}

TEST(ScannerNameTest, FoldedToLowerCaseWithDigitsAndUnderscores) {
  Scanner s{TextView("Name_1 name_1 _X9 1abc")};
  s.next();
  EXPECT_EQ(s.name(), "name_1");
  s.next();
  EXPECT_EQ(s.name(), "name_1");
  s.next();
  EXPECT_EQ(s.name(), "_x9");
  s.next();
  EXPECT_EQ(s.kind(), TOKEN_NUMBER);  // a digit starts a number, not a name
  s.next();
  EXPECT_EQ(s.name(), "abc");
}

TEST(ScannerNameTest, ThirtyOneCharactersAreTheLimit) {
  std::string n31(31, 'A');
  Scanner s{TextView(n31)};
  s.next();
  EXPECT_EQ(s.name(), std::string(31, 'a'));
  // Refused where the 32nd character would be stored.
  EXPECT_EQ(scanError("x " + n31 + "b"), positioned(1, 34, "слишком длинное имя"_cp866));
}

TEST(ScannerNumberTest, UnsignedThirtyTwoBitLimit) {
  Scanner s{TextView("0 007 4294967295")};
  EXPECT_EQ((s.next(), s.number()), 0u);
  EXPECT_EQ((s.next(), s.number()), 7u);
  EXPECT_EQ((s.next(), s.number()), 4294967295u);
  EXPECT_EQ(scanError("4294967296"), positioned(1, 10, "слишком большое число"_cp866));
  EXPECT_EQ(scanError("99999999999"), positioned(1, 10, "слишком большое число"_cp866));
  EXPECT_EQ(kindsOf("12.5"),
            (std::vector<TokenKind>{TOKEN_NUMBER, TOKEN_DOT, TOKEN_NUMBER, TOKEN_END}));
}

TEST(ScannerCountedStringTest, ContentIsTakenAsItIs) {
  EXPECT_EQ(firstString("#0##"), "");
  EXPECT_EQ(firstString("#4#none#"), "none");
  EXPECT_EQ(firstString("#4#a#b##"), "a#b#");
  EXPECT_EQ(firstString(std::string_view("#6#'\"\r\n\0\xFF#", 10)),
            std::string("'\"\r\n\0\xFF", 6));
  EXPECT_EQ(kindsOf("#0##;#1#x#"),
            (std::vector<TokenKind>{TOKEN_STRING, TOKEN_SEMICOLON, TOKEN_STRING, TOKEN_END}));
}

TEST(ScannerCountedStringTest, ViewPointsIntoTheText) {
  std::string text = "#3#abc#";
  Scanner s{TextView(text)};
  s.next();
  EXPECT_EQ(s.string().pointer(), text.data() + 3);
}

TEST(ScannerCountedStringTest, MalformedFormsAreRefusedWithTheirPosition) {
  EXPECT_EQ(scanError("#5#abc#"), positioned(1, 3, "длина строки превышает длину запроса"_cp866));
  EXPECT_EQ(scanError("#3#abcd#"), positioned(1, 4, "ожидается #2"_cp866));
  EXPECT_EQ(scanError("#x#"), positioned(1, 2, "ожидается число"_cp866));
  EXPECT_EQ(scanError("#"), positioned(1, 1, "ожидается число"_cp866));
  EXPECT_EQ(scanError("#3x"), positioned(1, 3, "ожидается #1"_cp866));
  EXPECT_EQ(scanError("#3"), positioned(1, 2, "ожидается #1"_cp866));
  // Content up to the very end, with no closing "#".
  EXPECT_EQ(scanError("#3#abc"), positioned(1, 3, "ожидается #2"_cp866));
  EXPECT_EQ(scanError("#0#"), positioned(1, 3, "ожидается #2"_cp866));
  // The largest count must not wrap the position past the end of the text.
  EXPECT_EQ(scanError("#4294967295#ab#"),
            positioned(1, 12, "длина строки превышает длину запроса"_cp866));
  EXPECT_EQ(scanError("#4294967296#"), positioned(1, 11, "слишком большое число"_cp866));
}

TEST(ScannerCountedStringTest, ContentCountsAsOneColumnAndNoLine) {
  Scanner s{TextView("#3#a\nb#)x")};
  s.next();
  s.next();
  EXPECT_EQ(s.kind(), TOKEN_RPAREN);
  EXPECT_EQ(errorOf([&] { s.expect(TOKEN_LBRACE); }),
            positioned(1, 6, "ожидается '{' получено ')'"_cp866));
}

TEST(ScannerQuotedStringTest, EitherQuoteWithoutEscapes) {
  EXPECT_EQ(firstString("'abc'"), "abc");
  EXPECT_EQ(firstString("\"it's\""), "it's");
  EXPECT_EQ(firstString("'say \"hi\"'"), "say \"hi\"");
  EXPECT_EQ(firstString("''"), "");
  EXPECT_EQ(firstString("'\x8E\xE8\xFF'"), "\x8E\xE8\xFF");
  EXPECT_EQ(kindsOf("'a''b'"), (std::vector<TokenKind>{TOKEN_STRING, TOKEN_STRING, TOKEN_END}));
}

TEST(ScannerQuotedStringTest, ControlCharactersAndUnclosedStringsAreRefused) {
  const auto control = "символ с кодом от 0 до 31 в строковом литерале в кавычках"_cp866;
  const auto unclosed = "незакрытый строковый литерал в кавычках"_cp866;
  EXPECT_EQ(scanError("'ab\ncd'"), positioned(1, 4, control));
  EXPECT_EQ(scanError("'a\tb'"), positioned(1, 3, control));
  EXPECT_EQ(scanError("\"\x1F\""), positioned(1, 2, control));
  EXPECT_EQ(scanError(std::string_view("'a\0b'", 5)), positioned(1, 3, control));
  EXPECT_EQ(scanError("'abc"), positioned(1, 4, unclosed));
  EXPECT_EQ(scanError("x\n'"), positioned(2, 1, unclosed));
  EXPECT_EQ(scanError("'abc\""), positioned(1, 5, unclosed));
}

TEST(ScannerPositionTest, ErrorIsAtTheCharacterAfterTheTokenJustRead) {
  Scanner s{TextView("select\n  ) name")};
  s.next();
  s.next();
  ASSERT_EQ(s.kind(), TOKEN_RPAREN);
  EXPECT_EQ(errorOf([&] { s.expect(TOKEN_LBRACE); }),
            positioned(2, 4, "ожидается '{' получено ')'"_cp866));
}

TEST(ScannerPositionTest, AtTheEndThePositionStaysOnTheLastCharacter) {
  Scanner s{TextView("ab")};
  s.next();
  s.next();
  EXPECT_EQ(errorOf([&] { s.expect(TOKEN_LBRACE); }),
            positioned(1, 2, "ожидается '{' получено <конец текста>"_cp866));
  // A final line feed is the last character; no new line begins after it.
  Scanner t{TextView("ab\n")};
  t.next();
  t.next();
  EXPECT_EQ(t.kind(), TOKEN_END);
  EXPECT_EQ(t.line(), 1u);
  EXPECT_EQ(t.column(), 3u);
  Scanner empty{TextView("")};
  empty.next();
  EXPECT_EQ(errorOf([&] { empty.error("x"); }), positioned(1, 1, "x"));
}

TEST(ScannerPositionTest, LinesCountFromOneAcrossCrLf) {
  Scanner s{TextView("a\r\nbb\r\n  c")};
  s.next();
  s.next();
  s.next();
  EXPECT_EQ(s.name(), "c");
  EXPECT_EQ(s.line(), 3u);
  EXPECT_EQ(s.column(), 3u);  // at the end, on the "c" itself
}

TEST(ScannerReadLineTest, LoginLinesThenTokens) {
  Scanner s{TextView("User: ann\r\nPassword: #1#\r\n\nget x")};
  EXPECT_EQ(s.readLine().toString(), "User: ann\r\n");
  EXPECT_EQ(s.readLine().toString(), "Password: #1#\r\n");
  EXPECT_EQ(s.readLine().toString(), "\n");
  s.next();
  EXPECT_TRUE(s.isName("get"));
  EXPECT_EQ(s.line(), 4u);
  EXPECT_EQ(s.column(), 4u);
}

TEST(ScannerReadLineTest, LastLineWithoutLineFeedAndTheEnd) {
  Scanner s{TextView(std::string_view("a\0b\nlast", 8))};
  EXPECT_EQ(s.readLine().view(), std::string_view("a\0b\n", 4));  // a zero byte is line content
  EXPECT_EQ(s.readLine().toString(), "last");
  EXPECT_TRUE(s.readLine().empty());
  s.next();
  EXPECT_EQ(s.kind(), TOKEN_END);
}

class ScannerExpectTest : public ::testing::Test {
 protected:
  // Reads the first token of the text and returns the refusal of f, or "".
  template <typename F>
  std::string refusal(std::string_view text, F&& f) {
    Scanner s{TextView(text)};
    s.next();
    return errorOf([&] { f(s); });
  }
};

TEST_F(ScannerExpectTest, SuccessfulExpectationsReturnTheTokenAndReadOn) {
  Scanner s{TextView("create table #4#Docs# 42 { Tbl")};
  s.next();
  s.expectKeyword("create");
  EXPECT_TRUE(s.isName("table"));
  EXPECT_FALSE(s.isName("Table"));  // callers pass the lower-case form
  s.next();
  EXPECT_EQ(s.expectString().toString(), "Docs");
  EXPECT_EQ(s.expectNumber(), 42u);
  s.expect(TOKEN_LBRACE);
  EXPECT_EQ(s.expectName("таблицы"_cp866), "tbl");
  EXPECT_EQ(s.kind(), TOKEN_END);
}

TEST_F(ScannerExpectTest, RefusalTexts) {
  EXPECT_EQ(refusal("abc", [](Scanner& s) { s.expect(TOKEN_LBRACE); }),
            positioned(1, 3, "ожидается '{' получено <имя>"_cp866));
  EXPECT_EQ(refusal("1 ", [](Scanner& s) { s.expect(TOKEN_LESS_EQUAL); }),
            positioned(1, 2, "ожидается '<=' получено <число>"_cp866));
  EXPECT_EQ(refusal("tab ", [](Scanner& s) { s.expectKeyword("table"); }),
            positioned(1, 4, "ожидается table получено tab"_cp866));
  EXPECT_EQ(refusal("7 ", [](Scanner& s) { s.expectKeyword("table"); }),
            positioned(1, 2, "ожидается table получено <число>"_cp866));
  EXPECT_EQ(refusal("x", [](Scanner& s) { s.expectString(); }),
            positioned(1, 1, "ожидается строка получено <имя>"_cp866));
  EXPECT_EQ(refusal("'s' ", [](Scanner& s) { s.expectName("таблицы"_cp866); }),
            positioned(1, 4, "ожидается имя таблицы получено <строка>"_cp866));
  EXPECT_EQ(refusal("", [](Scanner& s) { s.expectNumber(); }),
            positioned(1, 1, "ожидается число получено <конец текста>"_cp866));
  EXPECT_EQ(refusal(">=", [](Scanner& s) { s.expect(TOKEN_COMMA); }),
            positioned(1, 2, "ожидается ',' получено '>='"_cp866));
}

TEST_F(ScannerExpectTest, DescriptionOfNoTokenIsAnInternalFault) {
  EXPECT_EXIT(Scanner::description(TOKEN_NONE), ::testing::ExitedWithCode(3), "");
}

TEST(ScannerRoundTripTest, CountedWritersAreReadBack) {
  std::string content("#2#ab#\r\n'\"\0\xFE", 12);
  TextBuffer text;
  text.appendCounted(TextView(content));
  text.append(" ");
  text.appendCountedNumber(4294967295u);
  text.appendCounted(TextView());
  Scanner s{text.view()};
  s.next();
  EXPECT_EQ(s.expectString().toString(), content);
  EXPECT_EQ(s.expectString().toString(), "4294967295");
  EXPECT_EQ(s.expectString().toString(), "");
  EXPECT_EQ(s.kind(), TOKEN_END);
}
