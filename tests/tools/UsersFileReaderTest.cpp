// The old user list's reader: formatted-read matching of white space, field widths, numbers
// and the end of the list; the text-mode line ends in front of it; login names.
#include <gtest/gtest.h>

#include <string>

#include "foundation/Cp866.h"
#include "secmigrate/LoginName.h"
#include "secmigrate/TextMode.h"
#include "secmigrate/UsersFileReader.h"

namespace dovrel::secmigrate {
namespace {

using UserLine = UsersFileReader::UserLine;

struct Record {
  std::string name;
  std::string password;
  int64_t level = -1;
};

// Reads one whole record, expecting each line to match.
Record readRecord(UsersFileReader& reader) {
  Record record;
  EXPECT_EQ(reader.readUser(&record.name), UserLine::READ);
  EXPECT_TRUE(reader.readPassword(&record.password));
  EXPECT_TRUE(reader.readLevel(&record.level));
  return record;
}

TEST(UsersFileReaderTest, WhiteSpaceDirectivesSkipAnyRunIncludingBlankLines) {
  UsersFileReader reader(
      "User: Ivan Petrov  \nPassword:   pass word\nLevel: 2\n\n\n \t"
      "User:bob\nPassword:\nx\nLevel:\n  \n3\n\n");
  const Record first = readRecord(reader);
  EXPECT_EQ(first.name, "Ivan Petrov  ");  // trailing blanks belong to the value
  EXPECT_EQ(first.password, "pass word");  // leading ones are skipped
  EXPECT_EQ(first.level, 2);
  // A value may even stand on a later line than its keyword.
  const Record second = readRecord(reader);
  EXPECT_EQ(second.name, "bob");
  EXPECT_EQ(second.password, "x");
  EXPECT_EQ(second.level, 3);
  std::string name;
  EXPECT_EQ(reader.readUser(&name), UserLine::END);
}

TEST(UsersFileReaderTest, KeywordsMatchExactlyFromTheFirstByte) {
  std::string name;
  EXPECT_EQ(UsersFileReader("\nUser: a\n").readUser(&name), UserLine::FAILED);
  EXPECT_EQ(UsersFileReader(" User: a\n").readUser(&name), UserLine::FAILED);
  EXPECT_EQ(UsersFileReader("user: a\n").readUser(&name), UserLine::FAILED);
  EXPECT_EQ(UsersFileReader("User : a\n").readUser(&name), UserLine::FAILED);

  UsersFileReader reader("User: a\npassword: b\n");
  ASSERT_EQ(reader.readUser(&name), UserLine::READ);
  std::string password;
  EXPECT_FALSE(reader.readPassword(&password));
}

TEST(UsersFileReaderTest, OnlyAnExhaustedTextEndsTheList) {
  std::string name;
  EXPECT_EQ(UsersFileReader("").readUser(&name), UserLine::END);
  // A user line cut short is damage, not the end of the list.
  EXPECT_EQ(UsersFileReader("Us").readUser(&name), UserLine::FAILED);
  EXPECT_EQ(UsersFileReader("User:").readUser(&name), UserLine::FAILED);
  EXPECT_EQ(UsersFileReader("User:  \n\n").readUser(&name), UserLine::FAILED);

  UsersFileReader reader("User: a\n");
  ASSERT_EQ(reader.readUser(&name), UserLine::READ);
  std::string password;
  EXPECT_FALSE(reader.readPassword(&password));
}

TEST(UsersFileReaderTest, ValuesStopAfterThirtyOneBytesAndTheRestMeetsTheNextPattern) {
  const std::string thirtyOne(31, 'a');
  std::string name, password;

  // The reader keeps a view: every text lives in a named string.
  const std::string exactText = "User: " + thirtyOne + "\nPassword: " + thirtyOne + "\nLevel: 1\n";
  UsersFileReader exact(exactText);
  ASSERT_EQ(exact.readUser(&name), UserLine::READ);
  EXPECT_EQ(name, thirtyOne);
  ASSERT_TRUE(exact.readPassword(&password));
  EXPECT_EQ(password, thirtyOne);

  const std::string longerText = "User: " + thirtyOne + "bc\nPassword: p\nLevel: 1\n";
  UsersFileReader longer(longerText);
  ASSERT_EQ(longer.readUser(&name), UserLine::READ);
  EXPECT_EQ(name, thirtyOne);
  EXPECT_FALSE(longer.readPassword(&password));

  // The unread rest is matched as the next line would be, wherever it stands.
  const std::string spillText = "User: " + thirtyOne + "Password: pw\nLevel: 1\n";
  UsersFileReader spill(spillText);
  ASSERT_EQ(spill.readUser(&name), UserLine::READ);
  ASSERT_TRUE(spill.readPassword(&password));
  EXPECT_EQ(password, "pw");

  const std::string longPasswordText = "User: a\nPassword: " + thirtyOne + "x\nLevel: 1\n";
  UsersFileReader longPassword(longPasswordText);
  ASSERT_EQ(longPassword.readUser(&name), UserLine::READ);
  ASSERT_TRUE(longPassword.readPassword(&password));
  int64_t level = 0;
  EXPECT_FALSE(longPassword.readLevel(&level));
}

TEST(UsersFileReaderTest, ValueEndsAtItsFirstNulByte) {
  const std::string text("User: ab\0cd\nPassword: \0x\nLevel: 1\n", 34);
  UsersFileReader reader(text);
  std::string name, password;
  ASSERT_EQ(reader.readUser(&name), UserLine::READ);
  EXPECT_EQ(name, "ab");
  ASSERT_TRUE(reader.readPassword(&password));
  EXPECT_EQ(password, "");
}

TEST(UsersFileReaderTest, LevelIsADecimalWithOptionalSign) {
  struct Case {
    std::string text;
    bool matches;
    int64_t level;
  };
  const Case cases[] = {
      {"Level: 0\n", true, 0},    {"Level: +3\n", true, 3},  {"Level: -0\n", true, 0},
      {"Level:\n 0004", true, 4}, {"Level: -1\n", true, -1}, {"Level: 42abc\n", true, 42},
      {"Level: x\n", false, 0},   {"Level: -\n", false, 0},  {"Level: + 1\n", false, 0},
      {"Level: ", false, 0},      {"Level 1\n", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    UsersFileReader reader(c.text);
    int64_t level = -99;
    ASSERT_EQ(reader.readLevel(&level), c.matches);
    if (c.matches) {
      EXPECT_EQ(level, c.level);
    }
  }
}

TEST(UsersFileReaderTest, OverlongLevelNeverWrapsIntoTheValidRange) {
  // 2^32 + 4 and 2^64 + 4 would wrap to 4 in a 32- or 64-bit conversion.
  for (const char* text : {"Level: 4294967300\n", "Level: 18446744073709551620\n",
                           "Level: -4294967292\n", "Level: 99999999999999999999999999\n"}) {
    SCOPED_TRACE(text);
    UsersFileReader reader(text);
    int64_t level = 0;
    ASSERT_TRUE(reader.readLevel(&level));
    EXPECT_TRUE(level < 0 || level > 4) << level;
  }
}

TEST(UsersFileReaderTest, TrailingCharactersAfterTheLevelFailTheNextUserLine) {
  UsersFileReader reader("User: a\nPassword: b\nLevel: 1x\nUser: c\n");
  readRecord(reader);
  std::string name;
  EXPECT_EQ(reader.readUser(&name), UserLine::FAILED);
}

TEST(TextModeTest, CrLfReadsAsOneLineFeedAndEveryLineFeedIsStoredAsCrLf) {
  EXPECT_EQ(fromTextMode("a\r\nb\nc\rd\r\r\n\r"), "a\nb\nc\rd\r\n\r");
  EXPECT_EQ(toTextMode("a\nb\n\n"), "a\r\nb\r\n\r\n");
  EXPECT_EQ(fromTextMode(toTextMode("x\ny\n")), "x\ny\n");
}

TEST(LoginNameTest, ConvertsEachByte) {
  struct Case {
    std::string oldName;
    std::string login;
  };
  const Case cases[] = {
      {"Ivan Petrov", "ivan_petrov"},
      {"admin", "admin"},
      {"ABCXYZ", "abcxyz"},
      {"7up", "n7up"},
      {"007", "n007"},
      {"agent007", "agent007"},
      {"_1", "_1"},  // "_" makes the name non-empty, so no "n"
      {"-1", "_1"},
      {"a.b@c", "a_b_c"},
      {"[Z]", "_z_"},
      {"`{", "__"},  // the neighbours of the letter ranges
      {std::string("Иван"_cp866), "____"},
      {"\xFF\x80", "__"},
  };
  for (const Case& c : cases) EXPECT_EQ(convertLoginName(c.oldName), c.login) << c.oldName;
  EXPECT_EQ(convertLoginName(""), "");
}

}  // namespace
}  // namespace dovrel::secmigrate
