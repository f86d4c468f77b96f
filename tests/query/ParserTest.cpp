// The query parser: the login lines, the command dispatch, halt and commit, the positioned
// refusals, the error state after a disk failure, and what start-up and destruction do to
// the tables.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"
#include "platform/FaultInjectionEnv.h"
#include "principals/PasswordHash.h"
#include "query/Parser.h"
#include "security/StoreTestSupport.h"

namespace dovrel::query {
namespace {

using platform::FaultInjectionEnv;
using platform::FaultKind;
using test::roleEntry;
using test::userEntry;

const std::string SECURITY = "security {\r\n" + userEntry("a", "admin", "") +
                             userEntry("admin", "admin", "secret") +
                             userEntry("bob", "grantee", "pw", false, {"writers"}) +
                             userEntry("carl", "grantee", "pw", true) +
                             userEntry("dora", "creator", "pw") + roleEntry("writers") +
                             "   table t owner admin {\r\n      writers: insert;\r\n   }\r\n"
                             "}\r\n";

const std::string ADMIN = "User: admin\r\nPassword: secret\r\n";

class ParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeFile(dir.file("security.txt"), SECURITY);
    test::writeFile(dir.dataDir() + "t.structure", test::structureText("t"));
  }
  void TearDown() override { platform::Env::setCurrent(nullptr); }

  std::unique_ptr<Parser> makeParser() {
    return std::make_unique<Parser>(ParserFiles::inBaseDirectory(dir.path()));
  }
  // The answer as the connection threads send it, in UTF-8 for readable comparisons.
  std::string run(Parser& parser, const std::string& query, QueryResult* result = nullptr) {
    TextBuffer answer;
    try {
      const QueryResult r = parser.execute(TextView(query), answer);
      if (result != nullptr) *result = r;
      return cp866ToUtf8(answer.stringView());
    } catch (const TextError& error) {
      return "ERROR\r\n" + cp866ToUtf8(error.text());
    }
  }

  test::InstanceDir dir;
  test::ConsoleCapture console;
};

TEST_F(ParserTest, LoginLinesAreCheckedBeforeTheUser) {
  auto parser = makeParser();
  const struct {
    std::string query;
    std::string answer;
  } cases[] = {
      // The name is folded to lower case; the password may be empty.
      {"User: A\r\nPassword: \r\ncommit;", "OK\r\n"},
      {"User: ADMIN\r\nPassword: secret\r\ncommit;", "OK\r\n"},
      {"User: \r\nPassword: \r\ncommit;",
       "ERROR\r\nОшибка в строке 2 столбце 1: ожидается 'User: *\\x0D\\x0A', получено "
       "'User: \r\n'"},
      {"User: a\nPassword: \r\ncommit;",
       "ERROR\r\nОшибка в строке 2 столбце 1: ожидается 'User: *\\x0D\\x0A', получено "
       "'User: a\n'"},
      {"User: a",
       "ERROR\r\nОшибка в строке 1 столбце 7: ожидается 'User: *\\x0D\\x0A', получено "
       "'User: a'"},
      {"User: a\r\nPassword:\r\ncommit;",
       "ERROR\r\nОшибка в строке 3 столбце 1: ожидается 'Password: *\\x0D\\x0A', получено "
       "'Password:\r\n'"},
      // The password is taken exactly: no folding, blanks count.
      {"User: admin\r\nPassword: SECRET\r\ncommit;",
       "ERROR\r\nОшибка в строке 3 столбце 1: неверный пароль"},
      {"User: admin\r\nPassword: secret \r\ncommit;",
       "ERROR\r\nОшибка в строке 3 столбце 1: неверный пароль"},
      {"User: zed\r\nPassword: \r\ncommit;",
       "ERROR\r\nОшибка в строке 3 столбце 1: имя zed не принадлежит ни роли, ни пользователю"},
      {"User: writers\r\nPassword: \r\ncommit;",
       "ERROR\r\nОшибка в строке 3 столбце 1: имя writers принадлежит роли, а не пользователю"},
      // A wrong password is reported before the lock.
      {"User: carl\r\nPassword: pw\r\ncommit;",
       "ERROR\r\nОшибка в строке 3 столбце 1: пользователь заблокирован"},
      {"User: carl\r\nPassword: wrong\r\ncommit;",
       "ERROR\r\nОшибка в строке 3 столбце 1: неверный пароль"},
  };
  for (const auto& c : cases) EXPECT_EQ(run(*parser, c.query), c.answer) << c.query;
}

TEST_F(ParserTest, WrongPasswordPrintsTheHashItGave) {
  auto parser = makeParser();
  run(*parser, "User: bob\r\nPassword: guess\r\ncommit;");
  EXPECT_EQ(console.text(), std::string("Хэш использованного пароля "_cp866) +
                                hashPassword("guess", 256, test::TEST_SALT) + "\n");
}

TEST_F(ParserTest, KeywordsReachTheirHandlersInAnyCase) {
  auto parser = makeParser();
  const std::string unsupported = "команда не поддерживается";
  const std::string keywords =
      "ожидается add, alter, commit, create, delete, drop, get, grant, halt, optimize, revoke, "
      "select или set";
  const struct {
    std::string command;
    std::string answer;
  } cases[] = {
      {"", "Ошибка в строке 2 столбце 18: " + keywords},
      {"frobnicate;", "Ошибка в строке 3 столбце 11: " + keywords},
      {"42;", "Ошибка в строке 3 столбце 3: " + keywords},
      {"SELECT from nosuch where t.f.i = 'x';",
       "Ошибка в строке 3 столбце 25: таблица nosuch не найдена"},
      {"add document {} to table t;",
       "Ошибка в строке 3 столбце 27: структура документа не соответствует структуре таблицы - "
       "отсутствует поле f"},
      {"delete document 0 from table nosuch;",
       "Ошибка в строке 3 столбце 36: таблица nosuch не найдена"},
      {"grant;", "Ошибка в строке 3 столбце 6: ожидается имя роли или привилегии получено ';'"},
      {"revoke;", "Ошибка в строке 3 столбце 7: ожидается имя роли или привилегии получено ';'"},
      {"optimize index t.f.i;",
       "Ошибка в строке 3 столбце 21: имя i не принадлежит индексу поля t.f"},
      // Without a permission list the network commands refuse.
      {"set network permissions '';", "Ошибка в строке 3 столбце 27: " + unsupported},
      {"alter table t owner;",
       "Ошибка в строке 3 столбце 20: ожидается имя пользователя получено ';'"},
      {"Alter User bob alias;", "Ошибка в строке 3 столбце 21: ожидается строка получено ';'"},
      {"alter role writers;", "Ошибка в строке 3 столбце 19: ожидается alias получено ';'"},
      {"alter index;", "Ошибка в строке 3 столбце 12: ожидается user или role"},
      {"alter;", "Ошибка в строке 3 столбце 6: ожидается user или role"},
      {"create table t alias 'x' {};", "Ошибка в строке 3 столбце 28: таблица t уже существует"},
      {"create user x;", "Ошибка в строке 3 столбце 14: ожидается alias получено ';'"},
      {"create role x;", "Ошибка в строке 3 столбце 14: ожидается alias получено ';'"},
      {"create index;", "Ошибка в строке 3 столбце 13: ожидается table, user или role"},
      {"CREATE", "Ошибка в строке 3 столбце 6: ожидается table, user или role"},
      {"drop table nosuch;", "Ошибка в строке 3 столбце 18: таблица nosuch не найдена"},
      {"drop user;", "Ошибка в строке 3 столбце 10: ожидается имя пользователя получено ';'"},
      {"drop role;", "Ошибка в строке 3 столбце 10: ожидается имя роли получено ';'"},
      {"drop;", "Ошибка в строке 3 столбце 5: ожидается table, user или role"},
      {"get document 0 from table t only g;",
       "Ошибка в строке 3 столбце 35: имя g в таблице t не найдено"},
      {"get index t.f.i length;",
       "Ошибка в строке 3 столбце 23: имя i не принадлежит индексу поля t.f"},
      {"get table names foo;",
       "Ошибка в строке 3 столбце 20: ожидается aliases, length, structure, privileges или ';'"},
      {"get users", "Ошибка в строке 3 столбце 9: ожидается ';' получено <конец текста>"},
      {"get network permissions;", "Ошибка в строке 3 столбце 24: " + unsupported},
      {"Get NETWORK permissions;", "Ошибка в строке 3 столбце 24: " + unsupported},
      {"get;", "Ошибка в строке 3 столбце 4: ожидается document, index, table, users или network"},
      {"get tables;",
       "Ошибка в строке 3 столбце 11: ожидается document, index, table, users или "
       "network"},
      // The scanner's own errors pass as they are.
      {"commit\t;", "Ошибка в строке 3 столбце 7: недопустимый символ"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(*parser, ADMIN + c.command), "ERROR\r\n" + c.answer) << c.command;
  }
}

TEST_F(ParserTest, OnlyAnAdminHaltsAndTheHaltHasNoAnswer) {
  auto parser = makeParser();
  QueryResult result = RESULT_DONE;
  EXPECT_EQ(run(*parser, "User: dora\r\nPassword: pw\r\nhalt;", &result),
            "ERROR\r\nОшибка в строке 3 столбце 5: у пользователя недостаточно прав для "
            "завершения работы сервера");
  EXPECT_EQ(run(*parser, ADMIN + "HALT;", &result), "");
  EXPECT_EQ(result, RESULT_HALT);
}

// Each command asks for its rights at its own point: before the rest of the command is
// read, after the names it needs, or after the whole command. The position of the refusal
// pins that point.
TEST_F(ParserTest, RightsAreRefusedWhereEachCommandChecksThem) {
  auto parser = makeParser();
  const std::string dora = "User: dora\r\nPassword: pw\r\n";  // a creator
  const std::string bob = "User: bob\r\nPassword: pw\r\n";    // writers: insert on t
  const std::string rights = "у пользователя недостаточно прав для ";
  const struct {
    std::string query;
    std::string answer;
  } cases[] = {
      {dora + "create user x alias 'x';", "столбце 12: " + rights + "создания пользователя"},
      {dora + "create role r alias 'r';", "столбце 12: " + rights + "создания роли"},
      {dora + "drop user bob;", "столбце 10: " + rights + "удаления пользователя"},
      {dora + "drop role writers;", "столбце 10: " + rights + "удаления роли"},
      {bob + "get users;", "столбце 10: " + rights + "получения списка пользователей"},
      {dora + "alter user bob rename to b;",
       "столбце 27: " + rights + "переименования пользователя"},
      {dora + "alter user bob alias 'b';", "столбце 21: " + rights + "модификации пользователя"},
      {dora + "alter role writers rename to w;", "столбце 31: " + rights + "переименования роли"},
      {dora + "alter role writers alias 'w';", "столбце 25: " + rights + "модификации роли"},
      {dora + "grant writers to bob;", "столбце 21: " + rights + "модификации пользователей/ролей"},
      {bob + "grant select on t to bob;",
       "столбце 25: " + rights + "модификации привилегий таблицы"},
      {bob + "create table u alias 'u' {};", "столбце 13: " + rights + "создания таблицы"},
      {bob + "drop table t;", "столбце 13: " + rights + "удаления таблицы"},
      {bob + "get table t structure;", "столбце 22: " + rights + "получения структуры таблицы"},
      {bob + "get table t length;", "столбце 19: " + rights + "получения длины таблицы"},
      {bob + "get table t privileges;",
       "столбце 23: " + rights + "получения списка привилегий таблицы"},
      {bob + "select from t where t.f.i = 'x';", "столбце 20: " + rights + "поиска"},
      {bob + "delete document 0 from table t;", "столбце 31: " + rights + "удаления документа"},
      {bob + "add document { field f = 'x'; } to table t replacing 0;",
       "столбце 55: " + rights + "замены документа"},
      {dora + "get network permissions;", "столбце 12: " + rights + "получения сетевых разрешений"},
      // The rights come before the refusal of a parser without a permission list.
      {dora + "set network permissions '';",
       "столбце 27: " + rights + "установки сетевых разрешений"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(*parser, c.query), "ERROR\r\nОшибка в строке 3 " + c.answer) << c.query;
  }
}

// A second command, or anything else after a command, is refused where it begins, before
// the command acts; alter user and role, whose last part the principal readers read, are
// refused after they ran.
TEST_F(ParserTest, TextAfterACommandIsRefusedWhereItBegins) {
  auto parser = makeParser();
  const std::string end = "ожидается конец запроса получено ";
  const struct {
    std::string command;
    std::string answer;
  } cases[] = {
      {"get table t length; get table t length;", "Ошибка в строке 3 столбце 24: " + end + "get"},
      {"commit;;", "Ошибка в строке 3 столбце 8: " + end + "';'"},
      {"commit; 42", "Ошибка в строке 3 столбце 10: " + end + "<число>"},
      {"halt now", "Ошибка в строке 3 столбце 8: " + end + "now"},
      {"halt; halt;", "Ошибка в строке 3 столбце 11: " + end + "halt"},
      {"create user x alias 'x' kind grantee account unlock identified by 'p'; drop user x;",
       "Ошибка в строке 3 столбце 76: " + end + "drop"},
      {"create table u alias 'u' { field f alias 'f' : text { }; }; x",
       "Ошибка в строке 3 столбце 61: " + end + "x"},
      {"alter user bob alias 'b2'; \r\nx", "Ошибка в строке 4 столбце 1: " + end + "x"},
  };
  for (const auto& c : cases) {
    QueryResult result = RESULT_DONE;
    EXPECT_EQ(run(*parser, ADMIN + c.command, &result), "ERROR\r\n" + c.answer) << c.command;
    EXPECT_EQ(result, RESULT_DONE) << c.command;
  }
  // The refused creations left nothing behind.
  EXPECT_EQ(run(*parser, ADMIN + "drop user x;"),
            "ERROR\r\nОшибка в строке 3 столбце 12: имя x не принадлежит ни роли, ни пользователю");
  EXPECT_EQ(run(*parser, ADMIN + "drop table u;"),
            "ERROR\r\nОшибка в строке 3 столбце 13: таблица u не найдена");
  // Blanks and line ends after the command stay valid.
  EXPECT_EQ(run(*parser, ADMIN + "get users;  \r\n\r\n \n").substr(0, 4), "OK\r\n");
}

TEST_F(ParserTest, CommitNeedsTheRightBeforeAnythingIsRead) {
  auto parser = makeParser();
  QueryResult result = RESULT_DONE;
  EXPECT_EQ(run(*parser, ADMIN + "commit;", &result), "OK\r\n");
  EXPECT_EQ(result, RESULT_COMMITTED);
  // bob may insert into t through his role.
  EXPECT_EQ(run(*parser, "User: bob\r\nPassword: pw\r\ncommit;"), "OK\r\n");
  // The rights come first, even before the missing ';'.
  EXPECT_EQ(run(*parser, "User: dora\r\nPassword: pw\r\ncommit"),
            "ERROR\r\nОшибка в строке 3 столбце 6: у пользователя недостаточно прав для "
            "фиксации состояния сервера");
  EXPECT_EQ(run(*parser, ADMIN + "commit"),
            "ERROR\r\nОшибка в строке 3 столбце 6: ожидается ';' получено <конец текста>");
}

class ParserFaultTest : public ParserTest {
 protected:
  void SetUp() override {
    ParserTest::SetUp();
    platform::Env::setCurrent(&env);
  }
  FaultInjectionEnv env;
};

TEST_F(ParserFaultTest, DiskFailureRefusesEveryLaterQueryAndSavesNothingAtTheEnd) {
  auto parser = makeParser();
  // The commit marker cannot be created.
  env.failAt(FaultKind::OPEN, 1, EIO);
  EXPECT_EQ(run(*parser, ADMIN + "commit;"), "ERROR\r\nОшибка открытия на запись in_commit.txt");
  EXPECT_TRUE(parser->inError());

  const std::string refused = "ERROR\r\nсервер в состоянии ошибки, требуется перезагрузка";
  EXPECT_EQ(run(*parser, ADMIN + "commit;"), refused);
  EXPECT_EQ(run(*parser, "nothing like a query"), refused);

  env.resetCounts();
  parser.reset();
  EXPECT_EQ(env.count(FaultKind::OPEN), 0u) << "a parser in its error state committed";
}

TEST_F(ParserFaultTest, HealthyParserCommitsOnceAtItsEnd) {
  auto parser = makeParser();
  env.resetCounts();
  parser->shutdown();
  const uint64_t commitOpens = env.count(FaultKind::OPEN);
  EXPECT_GE(commitOpens, 1u);
  EXPECT_FALSE(test::fileExists(dir.dataDir() + "in_commit.txt"));
  parser.reset();
  EXPECT_EQ(env.count(FaultKind::OPEN), commitOpens) << "committed again when destroyed";

  auto another = makeParser();
  env.resetCounts();
  another.reset();
  EXPECT_EQ(env.count(FaultKind::OPEN), commitOpens) << "destruction is a halt and commits";
}

TEST(ParserFilesTest, InstanceFilesLieBesideTheDataDirectory) {
  const ParserFiles placed = ParserFiles::inBaseDirectory("/srv/inst/");
  EXPECT_EQ(placed.dataDirectory, "/srv/inst/DATA/");
  EXPECT_EQ(placed.securityFile, "/srv/inst/security.txt");
  EXPECT_EQ(placed.securityLog, "/srv/inst/security_log.txt");
  EXPECT_EQ(placed.criticalFile, "/srv/inst/critical.txt");
  const ParserFiles here = ParserFiles::inBaseDirectory("");
  EXPECT_EQ(here.dataDirectory, "DATA/");
  EXPECT_EQ(here.securityFile, "security.txt");
  EXPECT_EQ(here.securityLog, "security_log.txt");
  EXPECT_EQ(here.criticalFile, "critical.txt");
}

TEST_F(ParserTest, StartUpUndoesAnInterruptedCreationBeforeTheSecurityIsLoaded) {
  // "gone" was being created when the server died: it has files but no security entry.
  test::writeFile(dir.dataDir() + "in_create.txt", "gone");
  test::writeFile(dir.dataDir() + "gone.structure", test::structureText("gone"));
  test::writeFile(dir.dataDir() + "gone.table", "half");
  auto parser = makeParser();
  EXPECT_FALSE(test::fileExists(dir.dataDir() + "gone.structure"));
  EXPECT_FALSE(test::fileExists(dir.dataDir() + "gone.table"));
  EXPECT_FALSE(test::fileExists(dir.dataDir() + "in_create.txt"));
  EXPECT_EQ(run(*parser, ADMIN + "commit;"), "OK\r\n");
}

TEST_F(ParserTest, StartUpFailsForATableWithoutSecurity) {
  test::writeFile(dir.dataDir() + "u.structure", test::structureText("u"));
  try {
    makeParser();
    FAIL() << "the parser started";
  } catch (const SemanticError& error) {
    EXPECT_EQ(cp866ToUtf8(error.message()), "безопасность для таблицы u не установлена");
  }
}

}  // namespace
}  // namespace dovrel::query
