// The conversion run in-process: the exact file it writes, what the old names and levels
// become, the shared salt, the data directory, line ends, and the failures, which must
// leave no security file behind and keep an earlier one.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <string>

#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "platform/Env.h"
#include "platform/FaultInjectionEnv.h"
#include "principals/PasswordHash.h"
#include "principals/TablePrivilege.h"
#include "secmigrate/SecurityMigration.h"
#include "tools/LoadedSecurity.h"
#include "tools/MigrationTestSupport.h"

namespace dovrel::secmigrate {
namespace {

using testing::LoadedSecurity;
using testing::saltOf;
using testing::WorkDir;

class MigrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setConsoleSink([this](std::string_view m) { console += m; });
  }
  void TearDown() override { setConsoleSink({}); }

  int run() { return migrateSecurity(work.path()); }
  // Runs, expecting success, and returns the security file.
  std::string convert() {
    EXPECT_EQ(run(), 0) << cp866ToUtf8(console);
    EXPECT_EQ(console, "");
    return work.read("security.txt");
  }

  WorkDir work;
  std::string console;
};

const std::string TABLE_BODY =
    "      public: structure;\r\n"
    "      readers: structure, select;\r\n"
    "      writers: structure, select, insert, update;\r\n"
    "      creators: structure, select, insert, update, optimize, meta, history;\r\n"
    "   }\r\n";

TEST_F(MigrationTest, WritesTheExactFile) {
  work.write("users.txt",
             "User: Ivan Petrov\nPassword: secret\nLevel: 4\n\n"
             "User: 7up\nPassword: s3cr3t\nLevel: 0\n");
  work.addTables("DATA", {"books", "authors"});
  work.write("DATA/books.table", "");  // not a structure file
  const std::string file = convert();
  const std::string salt = saltOf(file);
  ASSERT_EQ(salt.size(), 8u);
  EXPECT_EQ(salt.find_first_not_of("0123456789ABCDEF"), std::string::npos) << salt;

  const std::string expected =
      "security {\r\n"
      "   user ivan_petrov alias #11#ivan_petrov# kind admin account unlock password rounds "
      "256 salt #8#" +
      salt + "# hash #128#" + hashPassword("secret", 256, salt) +
      "# {\r\n"
      "      admins;\r\n"
      "   }\r\n"
      "   user n7up alias #4#n7up# kind grantee account lock password rounds 256 salt #8#" +
      salt + "# hash #128#" + hashPassword("s3cr3t", 256, salt) +
      "# {\r\n"
      "      readers;\r\n"
      "   }\r\n"
      "   role readers alias #6#\xD7\xF2\xE5\xED\xE8\xE5# {\r\n"  // "Чтение", code page 1251
      "   }\r\n"
      "   role writers alias #6#" +
      std::string("Запись"_cp1251) +
      "# {\r\n"
      "   }\r\n"
      "   role creators alias #15#" +
      std::string("Создание таблиц"_cp1251) +
      "# {\r\n"
      "   }\r\n"
      "   role admins alias #14#" +
      std::string("Администраторы"_cp1251) +
      "# {\r\n"
      "   }\r\n"
      "   table authors owner ivan_petrov {\r\n" +
      TABLE_BODY + "   table books owner ivan_petrov {\r\n" + TABLE_BODY + "}\r\n";
  EXPECT_EQ(file, expected);
  EXPECT_EQ(work.listing().find(".tmp"), std::string::npos) << work.listing();
}

TEST_F(MigrationTest, FileLoadsWithTheServersReadersAndGrantsByLevel) {
  work.write("users.txt",
             "User: Anna Smith\nPassword: a\nLevel: 0\n"
             "User: 2nd Reader\nPassword: b\nLevel: 1\n" +
                 std::string("User: Иван\nPassword: c\nLevel: 2\n"_cp866) +
                 "User: Creator\nPassword: d\nLevel: 3\n"
                 "User: Root\nPassword: e\nLevel: 4\n");
  work.addTables("DATA", {"books"});
  const LoadedSecurity loaded(convert());

  struct Expected {
    std::string login;
    std::string password;
    UserKind kind;
    bool locked;
    std::string role;
  };
  const Expected users[] = {
      {"anna_smith", "a", UserKind::GRANTEE, true, "readers"},
      {"n2nd_reader", "b", UserKind::GRANTEE, false, "readers"},
      {"____", "c", UserKind::GRANTEE, false, "writers"},  // one "_" per code page 866 byte
      {"creator", "d", UserKind::CREATOR, false, "creators"},
      {"root", "e", UserKind::ADMIN, false, "admins"},
  };
  ASSERT_EQ(loaded.principals().size(), 5u + 4u + 1u);
  for (const Expected& e : users) {
    SCOPED_TRACE(e.login);
    auto user = loaded.user(e.login);
    ASSERT_TRUE(user);
    EXPECT_EQ(user->alias(), e.login);
    EXPECT_EQ(user->kind(), e.kind);
    EXPECT_EQ(user->locked(), e.locked);
    EXPECT_EQ(user->rounds(), 256u);
    EXPECT_NO_THROW(user->checkPassword(TextView(e.password)));
    ASSERT_EQ(user->memberOf().size(), 2u);  // its role and public
    EXPECT_TRUE(user->inheritsFrom(*loaded.findPrincipal(e.role)));
  }

  ASSERT_EQ(loaded.tables().size(), 1u);
  const TableSecurity& books = *loaded.tables().at("books");
  EXPECT_EQ(books.owner(), loaded.user("root"));
  const User& reader = *loaded.user("n2nd_reader");
  const User& writer = *loaded.user("____");
  const User& creator = *loaded.user("creator");
  EXPECT_TRUE(books.allows(TablePrivilege::SELECT, reader));
  EXPECT_FALSE(books.allows(TablePrivilege::INSERT, reader));
  EXPECT_TRUE(books.allows(TablePrivilege::UPDATE, writer));
  EXPECT_FALSE(books.allows(TablePrivilege::OPTIMIZE, writer));
  EXPECT_TRUE(books.allows(TablePrivilege::HISTORY, creator));
  EXPECT_EQ(loaded.findPrincipal("admins")->alias(), "Администраторы"_cp1251);
}

TEST_F(MigrationTest, OneSaltServesTheRunSoEqualPasswordsGiveEqualHashes) {
  work.write("users.txt",
             "User: a\nPassword: same\nLevel: 1\n"
             "User: b\nPassword: same\nLevel: 2\n"
             "User: c\nPassword: other\nLevel: 4\n");
  const LoadedSecurity loaded(convert());
  auto a = loaded.user("a"), b = loaded.user("b"), c = loaded.user("c");
  EXPECT_EQ(a->salt(), b->salt());
  EXPECT_EQ(a->salt(), c->salt());
  EXPECT_EQ(a->hash(), b->hash());
  EXPECT_NE(a->hash(), c->hash());
}

TEST_F(MigrationTest, LastLevelFourUserOwnsEveryTable) {
  work.write("users.txt",
             "User: first\nPassword: p\nLevel: 4\n"
             "User: second\nPassword: p\nLevel: 4\n"
             "User: third\nPassword: p\nLevel: 3\n");
  work.addTables("DATA", {"a", "b"});
  const LoadedSecurity loaded(convert());
  EXPECT_EQ(loaded.tables().at("a")->owner()->getName(), "second");
  EXPECT_EQ(loaded.tables().at("b")->owner()->getName(), "second");
}

TEST_F(MigrationTest, CrLfAndLfListsGiveTheSameFile) {
  const std::string lf =
      "User: Ivan Petrov\nPassword: pass word\nLevel: 4\n\n\nUser: bob\nPassword: x\nLevel: 1\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);

  work.write("users.txt", lf);
  const std::string fromLf = convert();
  work.write("users.txt", crlf);
  const std::string fromCrLf = convert();

  // The salts differ between runs; with each run's salt the hashes must be those of the
  // same passwords, and the rest of the text must be byte for byte the same.
  auto normalise = [](std::string text) {
    const std::string salt = saltOf(text);
    EXPECT_NE(text.find(hashPassword("pass word", 256, salt)), std::string::npos);
    EXPECT_NE(text.find(hashPassword("x", 256, salt)), std::string::npos);
    for (const std::string& secret :
         {salt, hashPassword("pass word", 256, salt), hashPassword("x", 256, salt)}) {
      std::string masked;
      std::size_t from = 0;
      for (std::size_t at; (at = text.find(secret, from)) != std::string::npos;) {
        masked.append(text, from, at - from).push_back('*');
        from = at + secret.size();
      }
      text = masked.append(text, from);
    }
    return text;
  };
  EXPECT_EQ(normalise(fromLf), normalise(fromCrLf));
  EXPECT_NE(fromLf.find("user ivan_petrov alias #11#ivan_petrov#"), std::string::npos);
}

TEST_F(MigrationTest, DataDirectoryFallsBackToLowerCaseOnlyWhenUpperCaseIsMissing) {
  work.write("users.txt", "User: root\nPassword: p\nLevel: 4\n");
  work.addTables("data", {"old"});
  EXPECT_NE(convert().find("   table old owner root {\r\n"), std::string::npos);

  work.addTables("DATA", {"new"});
  const std::string both = convert();
  EXPECT_NE(both.find("   table new owner root {\r\n"), std::string::npos);
  EXPECT_EQ(both.find("table old"), std::string::npos);
}

TEST_F(MigrationTest, EmptyOrMissingDataDirectoryGivesNoTableEntries) {
  work.write("users.txt", "User: bob\nPassword: p\nLevel: 1\n");
  const std::string missing = convert();  // no level-4 user is needed without tables
  EXPECT_EQ(missing.find("table"), std::string::npos);
  EXPECT_EQ(missing.substr(missing.size() - 14), "# {\r\n   }\r\n}\r\n");  // the last role
  EXPECT_NO_THROW(LoadedSecurity{missing});

  work.addTables("DATA", {});
  work.write("DATA/books.table", "");
  EXPECT_EQ(convert().find("table"), std::string::npos);
}

TEST_F(MigrationTest, EmptyListGivesOnlyTheRoles) {
  work.write("users.txt", "");
  const LoadedSecurity loaded(convert());
  EXPECT_EQ(loaded.principals().size(), 4u + 1u);
}

// Inputs that stop the run, each with its message.
struct FailureCase {
  const char* what;
  std::string users;  // "" with noUsersFile: no users.txt at all
  std::string message;
  bool noUsersFile = false;
  bool withTable = false;
};

class MigrationFailureTest : public MigrationTest,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(MigrationFailureTest, PrintsItsMessageExitsWithOneAndKeepsTheEarlierFile) {
  const FailureCase& c = GetParam();
  const std::string earlier = "security {\r\n}\r\n";
  work.write("security.txt", earlier);
  if (!c.noUsersFile) work.write("users.txt", c.users);
  if (c.withTable) work.addTables("DATA", {"books"});

  EXPECT_EQ(run(), 1);
  EXPECT_EQ(console, c.message);
  EXPECT_EQ(work.read("security.txt"), earlier);
  EXPECT_FALSE(work.exists("security.txt.tmp"));
}

const std::string GOOD = "User: root\nPassword: p\nLevel: 4\n";
const std::string A31(31, 'a');

INSTANTIATE_TEST_SUITE_P(
    Inputs, MigrationFailureTest,
    ::testing::Values(
        FailureCase{"no users.txt", "",
                    std::string("Не удалось открыть файл users.txt для чтения"_cp866), true},
        FailureCase{"no user keyword", "Ivan\n",
                    std::string("Ошибка чтения [имени] пользователя"_cp866)},
        FailureCase{"leading blank line", "\n" + GOOD,
                    std::string("Ошибка чтения [имени] пользователя"_cp866)},
        FailureCase{"cut after the keyword",
                    GOOD + "User:", std::string("Ошибка чтения [имени] пользователя"_cp866)},
        FailureCase{"missing password", "User: a\nLevel: 1\n",
                    std::string("Ошибка чтения пароля"_cp866)},
        FailureCase{"cut before the password", GOOD + "User: bob\n",
                    std::string("Ошибка чтения пароля"_cp866)},
        FailureCase{"name of 32", "User: " + A31 + "b\nPassword: p\nLevel: 1\n",
                    std::string("Ошибка чтения пароля"_cp866)},
        FailureCase{"level not a number", "User: a\nPassword: b\nLevel: two\n",
                    std::string("Ошибка чтения уровня"_cp866)},
        FailureCase{"password of 32", "User: a\nPassword: " + A31 + "b\nLevel: 1\n",
                    std::string("Ошибка чтения уровня"_cp866)},
        FailureCase{"level 5", GOOD + "User: a\nPassword: b\nLevel: 5\n",
                    std::string("Неожиданное значение уровня"_cp866)},
        FailureCase{"level -1", "User: a\nPassword: b\nLevel: -1\n",
                    std::string("Неожиданное значение уровня"_cp866)},
        FailureCase{"level 2^32+4", "User: a\nPassword: b\nLevel: 4294967300\n",
                    std::string("Неожиданное значение уровня"_cp866)},
        FailureCase{"empty name", std::string("User: \0x\nPassword: b\nLevel: 1\n", 30),
                    std::string("Ошибка: имя пользователя пусто"_cp866)},
        FailureCase{"two names, one login",
                    GOOD + "User: Ivan Petrov\nPassword: a\nLevel: 1\n" +
                        "User: ivan.petrov\nPassword: b\nLevel: 1\n",
                    std::string("Ошибка: имя пользователя ivan_petrov уже занято"_cp866)},
        FailureCase{"name of a role", "User: Admins\nPassword: a\nLevel: 4\n",
                    std::string("Ошибка: имя пользователя admins уже занято"_cp866)},
        FailureCase{"name public", "User: Public\nPassword: a\nLevel: 1\n",
                    std::string("Ошибка: имя пользователя public уже занято"_cp866)},
        FailureCase{"login of 32", "User: 1" + std::string(30, 'a') + "\nPassword: a\nLevel: 1\n",
                    std::string("Ошибка: имя пользователя n1"_cp866) + std::string(30, 'a') +
                        std::string(" длиннее 31 символа"_cp866)},
        FailureCase{"tables but no owner", "User: a\nPassword: b\nLevel: 3\n",
                    std::string("Ошибка: нет пользователя уровня 4, который стал бы "
                                "владельцем таблиц"_cp866),
                    false, true}),
    [](const ::testing::TestParamInfo<FailureCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p != 0; ++p) {
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      }
      return name;
    });

TEST_F(MigrationTest, LongestNamesThatStillFitAreAccepted) {
  work.write("users.txt", "User: " + A31 + "\nPassword: " + A31 + "\nLevel: 4\nUser: 1" +
                              std::string(29, 'b') + "\nPassword: p\nLevel: 1\n");
  const LoadedSecurity loaded(convert());
  EXPECT_NO_THROW(loaded.user(A31)->checkPassword(TextView(A31)));
  EXPECT_TRUE(loaded.user("n1" + std::string(29, 'b')));
}

// Faults of the file system, injected through the Env.
class MigrationFaultTest : public MigrationTest {
 protected:
  void SetUp() override {
    MigrationTest::SetUp();
    work.write("security.txt", earlier);
    work.write("users.txt", GOOD);
    work.addTables("DATA", {"books"});
    platform::Env::setCurrent(&faults);
  }
  void TearDown() override {
    platform::Env::setCurrent(nullptr);
    MigrationTest::TearDown();
  }
  void expectFailureKeepingTheEarlierFile(const std::string& message) {
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(console, message);
    EXPECT_EQ(work.read("security.txt"), earlier);
    EXPECT_EQ(work.listing().find(".tmp"), std::string::npos) << work.listing();
  }

  const std::string earlier = "security {\r\n}\r\n";
  platform::FaultInjectionEnv faults;
};

TEST_F(MigrationFaultTest, UnreadableUserList) {
  faults.failAt(platform::FaultKind::READ, 1, EIO);
  expectFailureKeepingTheEarlierFile(
      std::string("Не удалось открыть файл users.txt для чтения"_cp866));
}

TEST_F(MigrationFaultTest, OutputCannotBeCreated) {
  faults.failAt(platform::FaultKind::OPEN, 1, EACCES);
  expectFailureKeepingTheEarlierFile(
      std::string("Не удалось открыть файл security.txt на запись"_cp866));
}

TEST_F(MigrationFaultTest, EveryFailureWhileStoringIsReported) {
  for (platform::FaultKind kind : {platform::FaultKind::WRITE, platform::FaultKind::SYNC,
                                   platform::FaultKind::CLOSE, platform::FaultKind::RENAME}) {
    SCOPED_TRACE(static_cast<int>(kind));
    console.clear();
    faults.clearFaults();
    faults.failAt(kind, 1, ENOSPC);
    expectFailureKeepingTheEarlierFile(std::string("Не удалось записать файл security.txt"_cp866));
  }
}

TEST_F(MigrationFaultTest, UnlistableDataDirectoryStopsTheRun) {
  faults.failAt(platform::FaultKind::LIST_DIRECTORY, 1, EACCES);
  expectFailureKeepingTheEarlierFile(std::string("Не удалось прочитать каталог DATA"_cp866));
}

TEST_F(MigrationFaultTest, FailedDirectorySyncAfterTheRenameIsNoFailure) {
  faults.failAt(platform::FaultKind::SYNC_DIRECTORY, 1, EIO);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(console, "");
  EXPECT_NE(work.read("security.txt").find("table books owner root"), std::string::npos);
}

}  // namespace
}  // namespace dovrel::secmigrate
