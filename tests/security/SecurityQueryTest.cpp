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
      // Only a string right after the two words is a password.
      {"User: bob\r\nPassword: x\r\nalter user a alias 'identified by' identified x 'y';",
       login + "alter user a alias 'identified by' identified x 'y';"},
      // A password that never closes: where it begins is unknown, so the command goes.
      {"User: bob\r\nPassword: x\r\nalter user a identified by 'unclosed", login + "***"},
      // A text that breaks off elsewhere is kept as it is.
      {"User: bob\r\nPassword: x\r\nalter user a identified by 'p' \t rest",
       login + "alter user a identified by *** \t rest"},
      // Login lines that are not there are kept as they came.
      {"garbage", "garbage"},
      {"User: bob\r\nPass: x\r\n", "User: bob\r\nPass: x\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SecurityQuery::maskPasswords(TextView(c.request)), c.logged) << c.request;
  }
}

}  // namespace
}  // namespace dovrel
