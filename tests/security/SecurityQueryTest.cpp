// The security log: one bracketed entry per security request, closed by exactly one marker,
// and never a password in clear.
#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <string>

#include "foundation/Cp866.h"
#include "security/SecurityQuery.h"
#include "security/SimpleLog.h"
#include "security/StoreTestSupport.h"

namespace dovrel {
namespace {

class SecurityLogTest : public ::testing::Test {
 protected:
  std::string path() const { return dir.file("security_log.txt"); }
  test::InstanceDir dir;
};

const std::string REQUEST = "User: admin\r\nPassword: secret\r\ncreate role r alias 'x';";
const std::string LOGGED = "User: admin\r\nPassword: \\*\\*\\*\r\ncreate role r alias 'x';";
const std::string STAMP = "\r\n\\[\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\]\r\n";

TEST_F(SecurityLogTest, EveryEntryIsClosedByExactlyOneMarker) {
  test::writeFile(path(), "earlier entries\r\n");
  {
    SimpleLog log(path());
    {
      SecurityQuery query(log, TextView(REQUEST));
      query.success();
    }
    { SecurityQuery query(log, TextView(REQUEST)); }
    try {
      SecurityQuery query(log, TextView(REQUEST));
      throw std::runtime_error("the command failed");
    } catch (const std::runtime_error&) {
    }
  }
  const std::string entry = STAMP + LOGGED;
  EXPECT_TRUE(
      std::regex_match(test::readFile(path()),
                       std::regex("earlier entries\r\n" + entry + "\r\n\\[Success\\]\r\n" + entry +
                                  "\r\n\\[Failure\\]\r\n" + entry + "\r\n\\[Failure\\]\r\n")))
      << test::readFile(path());
}

TEST_F(SecurityLogTest, TimestampIsDayFirstAndZeroPadded) {
  EXPECT_EQ(SecurityQuery::timestamp({2026, 1, 2, 3, 4, 5, 678}), "02.01.2026 03:04:05");
  EXPECT_EQ(SecurityQuery::timestamp({1999, 12, 31, 23, 59, 59, 0}), "31.12.1999 23:59:59");
}

TEST_F(SecurityLogTest, LogThatCannotBeOpenedLosesEntriesQuietly) {
  SimpleLog log(dir.file("missing/security_log.txt"));
  EXPECT_FALSE(log.isOpen());
  SecurityQuery query(log, TextView(REQUEST));
  query.success();
}

TEST(SecurityLogMaskTest, PasswordsAreMaskedAndEverythingElseKept) {
  using namespace std::string_literals;
  const std::string login = "User: bob\r\nPassword: ***\r\n";
  const struct {
    std::string request;
    std::string logged;
  } cases[] = {
      {"User: bob\r\nPassword: s3cr#t\r\nget users;", login + "get users;"},
      {"User: bob\r\nPassword: \r\nget users;", login + "get users;"},
      {"User: bob\r\nPassword: x\r\nalter user bob identified by 'new one';",
       login + "alter user bob identified by ***;"},
      {"User: bob\r\nPassword: x\r\nalter user bob IDENTIFIED\r\n  By \"p'w\";",
       login + "alter user bob IDENTIFIED\r\n  By ***;"},
      {"User: bob\r\nPassword: x\r\ncreate user c alias #1#c# kind grantee account unlock "
       "identified by #007#a#b\r\n;c# ;",
       login + "create user c alias #1#c# kind grantee account unlock identified by *** ;"},
      {"User: bob\r\nPassword: x\r\nalter user a identified by #0##; alter user b identified "
       "by 'q';",
       login + "alter user a identified by ***; alter user b identified by ***;"},
      // A string's content is data; after the words, whatever comes up to ';' may be a
      // password.
      {"User: bob\r\nPassword: x\r\nalter user a alias 'identified by' identified x 'y';",
       login + "alter user a alias 'identified by' identified *** ***;"},
      // A password that never closes masks the rest, and only the rest.
      {"User: bob\r\nPassword: x\r\nalter user a identified by 'unclosed",
       login + "alter user a identified by ***"},
      {"User: bob\r\nPassword: x\r\nalter user a identified by 'p' \t rest",
       login + "alter user a identified by *** \t ***"},
      // Malformed forms that once reached the log in clear.
      {"User: bob\r\nPassword: x\r\ncreate user bob @ identified by #6#secret#;",
       login + "create user bob @ identified by ***;"},
      {"User: bob\r\nPassword: x\r\nalter\tuser bob identified by 'secret';",
       login + "alter\tuser bob identified by ***;"},
      {"User: bob\r\nPassword: x\r\nalter user b%b identified by 'secret';",
       login + "alter user b%b identified by ***;"},
      {"User: bob\r\nPassword: x\r\nalter user \x01\x00\xA0 identified by 'secret';"s,
       login + "alter user \x01\x00\xA0 identified by ***;"s},
      {"User: bob\r\nPassword: x\r\nalter user bob identified by S3cretPw;",
       login + "alter user bob identified by ***;"},
      {"User: bob\r\nPassword: x\r\nalter user bob identified by 12345 ;",
       login + "alter user bob identified by *** ;"},
      {"User: bob\r\nPassword: x\r\nalter user bob identified by p@ss.w0rd;",
       login + "alter user bob identified by ***;"},
      {"User: bob\r\nPassword: x\r\nalter user bob identified 'secret';",
       login + "alter user bob identified ***;"},
      {"User: bob\r\nPassword: x\r\nalter user bob by 'secret';", login + "alter user bob by ***;"},
      {"User: bob\r\nPassword: x\r\nalter user bob identified by '' 'secret';",
       login + "alter user bob identified by *** ***;"},
      {"User: bob\r\nPassword: x\r\nalter user bob identified by by;",
       login + "alter user bob identified by ***;"},
      // Counted strings whose count is wrong or huge: the rest of the request goes.
      {"User: bob\r\nPassword: x\r\nalter user bob identified by #3#secret#;",
       login + "alter user bob identified by ***"},
      {"User: bob\r\nPassword: x\r\nalter user bob identified by #99999999999999999999#s#;",
       login + "alter user bob identified by ***"},
      {"User: bob\r\nPassword: x\r\nalter user bob identified by #secret#;",
       login + "alter user bob identified by ***;"},
      // A string left open earlier puts the quotes' pairing in doubt.
      {"User: bob\r\nPassword: x\r\ncreate user c alias 'C\r\n kind grantee account unlock "
       "identified by 'secret';",
       login + "create user c alias 'C\r\n kind grantee account unlock identified by ***;"},
      {"User: bob\r\nPassword: x\r\nalter user c alias #9#c# identified by 'secret';",
       login + "alter user c alias #9#c# identified by ***;"},
      {"User: bob\r\nPassword: x\r\nalter user c alias 'C\n by 'se;cret",
       login + "alter user c alias 'C\n by ***"},
      // A zero byte ends the scanner's text, not the walk.
      {"User: bob\r\nPassword: x\r\nalter user\0 identified by 'secret';"s,
       login + "alter user\0 identified by ***;"s},
      // Login lines that are not there are kept as they came.
      {"garbage", "garbage"},
      {"User: bob\r\nPass: x\r\n", "User: bob\r\nPass: x\r\n"},
      {"Password: secret", "Password: ***"},
      {"User: bob\r\nPassword: secret\n", "User: bob\r\nPassword: ***\n"},
      // A password line without its CR LF may run into the command.
      {"User: bob\r\nPassword: x#0##''@identified \t by\n97secret;",
       "User: bob\r\nPassword: ***\n***;"},
      {"User: bob\r\nPassword: x alter user a identified by 'secret';",
       "User: bob\r\nPassword: ***"},
      {"User: bob\r\nPassword: a\"b identified By 125\"rD\nsecret", "User: bob\r\nPassword: ***"},
      {"User: bob\r\nPassword: x#12#\n BY\r\n90alte#\r\nsecret;",
       "User: bob\r\nPassword: ***\n BY\r\n***\r\n***;"},
      // A quote at a password's place in that line whose partner is in the command.
      {"User: bob\r\nPassword: x by 'a\n by\r\n'se;cret", "User: bob\r\nPassword: ***"},
      {"alter user a identified by 'q';", "alter user a identified by ***;"},
      {"Usr: bob\r\nPassword: secret\r\nget users;", "Usr: bob\r\nPassword: ***\r\nget users;"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SecurityQuery::maskPasswords(TextView(c.request)), c.logged) << c.request;
  }
}

}  // namespace
}  // namespace dovrel
