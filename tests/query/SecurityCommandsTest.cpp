// The security commands through the parser: who may run each, the security file after each
// change byte for byte, the log entry of each request (where it is opened, how it is
// closed, and that no password reaches it), and the user listing.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"
#include "principals/PasswordHash.h"
#include "query/Parser.h"
#include "security/StoreTestSupport.h"

namespace dovrel::query {
namespace {

using test::counted;
using test::roleEntry;
using test::userEntry;

const std::string HEAD = "security {\r\n";
const std::string ADMIN_ENTRY = userEntry("admin", "admin", "secret");
const std::string BOB_ENTRY = userEntry("bob", "grantee", "pw", false, {"writers"});
const std::string DORA_ENTRY = userEntry("dora", "creator", "pw");
const std::string EVE_ENTRY = userEntry("eve", "grantee", "pw");
const std::string ROLES = roleEntry("readers") + roleEntry("writers");
const std::string TABLE_T = "   table t owner bob {\r\n      writers: insert;\r\n   }\r\n";
const std::string TAIL = "}\r\n";
const std::string SECURITY =
    HEAD + ADMIN_ENTRY + BOB_ENTRY + DORA_ENTRY + EVE_ENTRY + ROLES + TABLE_T + TAIL;

const std::string ADMIN = "User: admin\r\nPassword: secret\r\n";
const std::string ADMIN_MASKED = "User: admin\r\nPassword: ***\r\n";
const std::string BOB = "User: bob\r\nPassword: pw\r\n";
const std::string DORA = "User: dora\r\nPassword: pw\r\n";
const std::string EVE = "User: eve\r\nPassword: pw\r\n";

// "Ошибка в строке 3 столбце N: " + message, as a refusal of a command on the third line.
std::string refusedAt(int column, const std::string& message) {
  return "ERROR\r\nОшибка в строке 3 столбце " + std::to_string(column) + ": " + message;
}

class SecurityCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeFile(dir.file("security.txt"), SECURITY);
    test::writeFile(dir.dataDir() + "t.structure", test::structureText("t"));
    parser = std::make_unique<Parser>(ParserFiles::inBaseDirectory(dir.path()));
  }

  // The answer, or "ERROR" CR LF and the refusal, in UTF-8.
  std::string run(const std::string& query) {
    TextBuffer answer;
    try {
      parser->execute(TextView(query), answer);
      return cp866ToUtf8(answer.stringView());
    } catch (const TextError& error) {
      return "ERROR\r\n" + cp866ToUtf8(error.text());
    }
  }
  std::string securityFile() const { return test::readFile(dir.file("security.txt")); }
  // The log with every timestamp replaced by "T".
  std::string log() const {
    static const std::regex stamp(R"(\[\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\])");
    return std::regex_replace(test::readFile(dir.file("security_log.txt")), stamp, "[T]");
  }
  // The log entry of a request as it should read, its passwords already masked.
  static std::string entry(const std::string& request, bool success) {
    return "\r\n[T]\r\n" + request + (success ? "\r\n[Success]\r\n" : "\r\n[Failure]\r\n");
  }

  test::InstanceDir dir;
  test::ConsoleCapture console;
  std::unique_ptr<Parser> parser;
};

TEST_F(SecurityCommandsTest, OwnerChangeByAStrangerAnswersOkAndChangesNothing) {
  EXPECT_EQ(run(EVE + "alter table t owner eve;"), "OK\r\n");
  EXPECT_EQ(securityFile(), SECURITY);
  EXPECT_EQ(log(), entry("User: eve\r\nPassword: ***\r\nalter table t owner eve;", true));

  EXPECT_EQ(run(BOB + "alter table t owner dora;"), "OK\r\n");
  std::string expected = SECURITY;
  expected.replace(expected.find("owner bob"), 9, "owner dora");
  EXPECT_EQ(securityFile(), expected);
}

TEST_F(SecurityCommandsTest, AlterTableRefusalsComeBeforeTheLogEntry) {
  EXPECT_EQ(run(BOB + "alter table x owner bob;"), refusedAt(20, "таблица x не найдена"));
  EXPECT_EQ(run(BOB + "alter table t owner writers;"),
            refusedAt(28, "имя writers принадлежит роли, а не пользователю"));
  EXPECT_EQ(run(BOB + "alter table t owner dora"),
            refusedAt(24, "ожидается ';' получено <конец текста>"));
  EXPECT_EQ(log(), "");
  EXPECT_EQ(securityFile(), SECURITY);
}

TEST_F(SecurityCommandsTest, TwoRolesGoToTwoUsersInOneGrantAndComeBackOut) {
  EXPECT_EQ(run(ADMIN + "grant writers, readers to eve, dora;"), "OK\r\n");
  const std::string granted = HEAD + ADMIN_ENTRY + BOB_ENTRY +
                              userEntry("dora", "creator", "pw", false, {"writers", "readers"}) +
                              userEntry("eve", "grantee", "pw", false, {"writers", "readers"}) +
                              ROLES + TABLE_T + TAIL;
  EXPECT_EQ(securityFile(), granted);

  EXPECT_EQ(run(ADMIN + "revoke writers from eve, dora, bob;"), "OK\r\n");
  EXPECT_EQ(securityFile(), HEAD + ADMIN_ENTRY + userEntry("bob", "grantee", "pw") +
                                userEntry("dora", "creator", "pw", false, {"readers"}) +
                                userEntry("eve", "grantee", "pw", false, {"readers"}) + ROLES +
                                TABLE_T + TAIL);
}

TEST_F(SecurityCommandsTest, RoleGrantsRefuseNonRolesCyclesAndNonAdmins) {
  EXPECT_EQ(run(ADMIN + "grant public to eve;"), refusedAt(20, "имя public принадлежит не роли"));
  EXPECT_EQ(run(ADMIN + "grant bob to eve;"),
            refusedAt(17, "имя bob принадлежит пользователю, а не роли"));
  // Every role is a member of public already.
  EXPECT_EQ(run(ADMIN + "grant writers to public;"),
            refusedAt(24, "получится циклическая зависимость writers и public"));
  EXPECT_EQ(run(ADMIN + "grant writers to nobody;"),
            refusedAt(24, "имя nobody не принадлежит ни роли, ни пользователю"));
  EXPECT_EQ(run(BOB + "grant writers to eve;"),
            refusedAt(21, "у пользователя недостаточно прав для модификации пользователей/ролей"));
  EXPECT_EQ(run(ADMIN + "grant writers to eve"),
            refusedAt(20, "ожидается ';' получено <конец текста>"));
  EXPECT_EQ(securityFile(), SECURITY);
  // The entry is opened right after the keyword, so every one of them is on record.
  EXPECT_EQ(log(), entry(ADMIN_MASKED + "grant public to eve;", false) +
                       entry(ADMIN_MASKED + "grant bob to eve;", false) +
                       entry(ADMIN_MASKED + "grant writers to public;", false) +
                       entry(ADMIN_MASKED + "grant writers to nobody;", false) +
                       entry("User: bob\r\nPassword: ***\r\ngrant writers to eve;", false) +
                       entry(ADMIN_MASKED + "grant writers to eve", false));
}

TEST_F(SecurityCommandsTest, TablePrivilegesNeedTheOwnerOrAnAdmin) {
  // An unknown privilege is reported before the rights, even to a stranger.
  EXPECT_EQ(run(EVE + "grant select, frob on t to eve;"),
            refusedAt(31, "не найдена привилегия с именем frob"));
  EXPECT_EQ(run(EVE + "grant select on t to eve;"),
            refusedAt(25, "у пользователя недостаточно прав для модификации привилегий таблицы"));
  EXPECT_EQ(run(ADMIN + "grant select on nosuch to eve;"),
            refusedAt(26, "таблица nosuch не найдена"));
  EXPECT_EQ(securityFile(), SECURITY);

  // The owner grants to public; privileges are written in their fixed order, once each.
  EXPECT_EQ(run(BOB + "GRANT Insert, select, insert ON t TO public, eve;"), "OK\r\n");
  const std::string granted =
      "   table t owner bob {\r\n      writers: insert;\r\n      public: select, insert;\r\n"
      "      eve: select, insert;\r\n   }\r\n";
  EXPECT_EQ(securityFile(),
            HEAD + ADMIN_ENTRY + BOB_ENTRY + DORA_ENTRY + EVE_ENTRY + ROLES + granted + TAIL);

  // Revoking every privilege of a principal removes its line.
  EXPECT_EQ(run(ADMIN + "revoke insert on t from writers, eve;"), "OK\r\n");
  EXPECT_EQ(securityFile(), HEAD + ADMIN_ENTRY + BOB_ENTRY + DORA_ENTRY + EVE_ENTRY + ROLES +
                                "   table t owner bob {\r\n      public: select, insert;\r\n"
                                "      eve: select;\r\n   }\r\n" +
                                TAIL);
}

TEST_F(SecurityCommandsTest, AdminCannotDropHimselfAndInheritsTheTablesOfWhomHeDrops) {
  EXPECT_EQ(run(ADMIN + "drop user admin;"), refusedAt(16, "пользователь не может удалить себя"));
  EXPECT_EQ(run(ADMIN + "drop user bob;"), "OK\r\n");
  EXPECT_EQ(securityFile(), HEAD + ADMIN_ENTRY + DORA_ENTRY + EVE_ENTRY + ROLES +
                                "   table t owner admin {\r\n      writers: insert;\r\n   }\r\n" +
                                TAIL);
  EXPECT_EQ(run(BOB + "commit;"), refusedAt(1, "имя bob не принадлежит ни роли, ни пользователю"));

  // Dropping a role takes it out of every membership and every table.
  EXPECT_EQ(run(ADMIN + "grant writers to eve;"), "OK\r\n");
  EXPECT_EQ(run(ADMIN + "drop role writers;"), "OK\r\n");
  EXPECT_EQ(securityFile(), HEAD + ADMIN_ENTRY + DORA_ENTRY + EVE_ENTRY + roleEntry("readers") +
                                "   table t owner admin {\r\n   }\r\n" + TAIL);
  EXPECT_EQ(run(ADMIN + "drop role eve;"),
            refusedAt(14, "имя eve принадлежит пользователю, а не роли"));
}

TEST_F(SecurityCommandsTest, OnlyAnAdminCreatesOrDropsAndIsRefusedBeforeAnyParsing) {
  const std::string logBefore = log();
  // Nothing after the word is read: even a broken command gets the rights message.
  EXPECT_EQ(run(DORA + "create user ???"),
            refusedAt(12, "у пользователя недостаточно прав для создания пользователя"));
  EXPECT_EQ(run(DORA + "create role"),
            refusedAt(11, "у пользователя недостаточно прав для создания роли"));
  EXPECT_EQ(run(DORA + "drop user ???"),
            refusedAt(10, "у пользователя недостаточно прав для удаления пользователя"));
  EXPECT_EQ(run(DORA + "drop role"),
            refusedAt(9, "у пользователя недостаточно прав для удаления роли"));
  EXPECT_EQ(log(), logBefore);
  EXPECT_EQ(securityFile(), SECURITY);
}

TEST_F(SecurityCommandsTest, CreatedUserLogsInAndHisPasswordNeverReachesTheLog) {
  EXPECT_EQ(
      run(ADMIN +
          "create user Zed alias 'zed' kind creator account unlock identified by 'topsecret';"),
      "OK\r\n");
  const std::string file = securityFile();
  const size_t at = file.find("user zed ");
  ASSERT_NE(at, std::string::npos) << file;
  const std::string salt = file.substr(file.find("salt #8#", at) + 8, 8);
  std::string zed = userEntry("zed", "creator", "topsecret");
  zed.replace(zed.find(counted(test::TEST_SALT)), 12, counted(salt));
  zed.replace(zed.find(hashPassword("topsecret", 256, test::TEST_SALT)), 128,
              hashPassword("topsecret", 256, salt));
  EXPECT_EQ(file,
            HEAD + ADMIN_ENTRY + BOB_ENTRY + DORA_ENTRY + EVE_ENTRY + ROLES + zed + TABLE_T + TAIL);
  EXPECT_EQ(run("User: zed\r\nPassword: topsecret\r\nget users;").substr(0, 4), "OK\r\n");

  EXPECT_EQ(run(ADMIN + "create user zed alias 'z' kind grantee account lock identified by 'x';"),
            refusedAt(70, "пользователь/роль zed уже существует"));
  EXPECT_EQ(run(ADMIN + "create role Scribes alias 'S';"), "OK\r\n");
  EXPECT_NE(securityFile().find("   role scribes alias #1#S# {\r\n   }\r\n"), std::string::npos);

  const std::string text = log();
  EXPECT_EQ(text.find("topsecret"), std::string::npos) << text;
  EXPECT_EQ(text.find("secret\r\n"), std::string::npos) << text;
  EXPECT_EQ(
      text,
      entry(ADMIN_MASKED + "create user Zed alias 'zed' kind creator account unlock identified "
                           "by ***;",
            true) +
          entry(ADMIN_MASKED + "create user zed alias 'z' kind grantee account lock identified "
                               "by ***;",
                false) +
          entry(ADMIN_MASKED + "create role Scribes alias 'S';", true));
}

TEST_F(SecurityCommandsTest, UsersAlterThemselvesWithinTheSelfRules) {
  // A grantee changes his own password, but neither his alias nor another user.
  EXPECT_EQ(run(EVE + "alter user eve identified by 'new';"), "OK\r\n");
  EXPECT_EQ(run("User: eve\r\nPassword: new\r\nalter user eve alias 'E';"),
            refusedAt(21, "недостаточно прав для смены своего псевдонима"));
  EXPECT_EQ(run("User: eve\r\nPassword: new\r\nalter user bob identified by 'x';"),
            refusedAt(26, "у пользователя недостаточно прав для модификации пользователя"));
  EXPECT_EQ(log(),
            entry("User: eve\r\nPassword: ***\r\nalter user eve identified by ***;", true) +
                entry("User: eve\r\nPassword: ***\r\nalter user eve alias 'E';", false) +
                entry("User: eve\r\nPassword: ***\r\nalter user bob identified by ***;", false));
  // An admin changes his own alias, but not his kind or lock; he may change others'.
  EXPECT_EQ(run(ADMIN + "alter user admin kind grantee;"),
            refusedAt(22, "нельзя менять свой базовый доступ"));
  EXPECT_EQ(run(ADMIN + "alter user admin account lock;"), refusedAt(25, "нельзя себя отключать"));
  EXPECT_EQ(run(ADMIN + "alter user bob alias 'Bob' kind creator account lock;"), "OK\r\n");
  EXPECT_EQ(run(BOB + "commit;"), refusedAt(1, "пользователь заблокирован"));
  EXPECT_NE(securityFile().find("   user bob alias #3#Bob# kind creator account lock "),
            std::string::npos);
}

TEST_F(SecurityCommandsTest, RenamesNeedAnAdminAndKeepEveryReference) {
  EXPECT_EQ(run(BOB + "alter user bob rename to robert;"),
            refusedAt(32, "у пользователя недостаточно прав для переименования пользователя"));
  EXPECT_EQ(run(BOB + "alter role writers rename to scribes;"),
            refusedAt(37, "у пользователя недостаточно прав для переименования роли"));
  EXPECT_EQ(run(BOB + "alter role writers alias 'W';"),
            refusedAt(25, "у пользователя недостаточно прав для модификации роли"));
  EXPECT_EQ(run(ADMIN + "alter role writers rename to writers;"),
            refusedAt(37, "имя writers уже занято пользователем/ролью"));
  EXPECT_EQ(run(ADMIN + "alter role public alias 'p';"),
            refusedAt(24, "имя public принадлежит не роли"));

  EXPECT_EQ(run(ADMIN + "alter user bob rename to robert;"), "OK\r\n");
  EXPECT_EQ(run(ADMIN + "alter role writers rename to scribes;"), "OK\r\n");
  EXPECT_EQ(run(ADMIN + "alter role scribes alias 'W';"), "OK\r\n");
  std::string robert = userEntry("robert", "grantee", "pw", false, {"scribes"});
  robert.replace(robert.find(counted("robert")), 10, counted("bob"));
  EXPECT_EQ(securityFile(), HEAD + ADMIN_ENTRY + DORA_ENTRY + EVE_ENTRY + roleEntry("readers") +
                                robert + "   role scribes alias #1#W# {\r\n   }\r\n" +
                                "   table t owner robert {\r\n      scribes: insert;\r\n   }\r\n" +
                                TAIL);
  EXPECT_EQ(run("User: robert\r\nPassword: pw\r\ncommit;"), "OK\r\n");
}

TEST_F(SecurityCommandsTest, UserListingIsForCreatorsAndAdminsAndHasNoSecrets) {
  EXPECT_EQ(run(EVE + "get users;"),
            refusedAt(10, "у пользователя недостаточно прав для получения списка пользователей"));
  const std::string listing =
      "OK\r\n{\r\n"
      "   user admin alias #5#admin# kind admin account unlock {\r\n   }\r\n"
      "   user bob alias #3#bob# kind grantee account unlock {\r\n      writers;\r\n   }\r\n"
      "   user dora alias #4#dora# kind creator account unlock {\r\n   }\r\n"
      "   user eve alias #3#eve# kind grantee account unlock {\r\n   }\r\n" +
      ROLES + "}\r\n";
  EXPECT_EQ(run(DORA + "get users;"), listing);
  EXPECT_EQ(run(ADMIN + "get users;"), listing);
  EXPECT_EQ(run(ADMIN + "get users"), refusedAt(9, "ожидается ';' получено <конец текста>"));
  EXPECT_EQ(log(), "");
}

}  // namespace
}  // namespace dovrel::query
