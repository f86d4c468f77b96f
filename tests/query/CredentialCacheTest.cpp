// The credential cache behind the login: a remembered password answers exactly as the full
// check would — wrong passwords, locks, changed passwords, dropped, renamed and re-created
// users — both on its own and through the parser's login.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "principals/PasswordHash.h"
#include "principals/PrincipalLookup.h"
#include "principals/Role.h"
#include "principals/User.h"
#include "query/CredentialCache.h"
#include "query/Parser.h"
#include "security/StoreTestSupport.h"

namespace dovrel::query {
namespace {

// A prefix followed by a number. Built by appending: g++ 12 warns (-Wrestrict, falsely) on
// `"literal" + std::to_string(n)` in optimised builds.
std::string numbered(const char* prefix, uint64_t number) {
  std::string text(prefix);
  text += std::to_string(number);
  return text;
}

using test::userEntry;

std::string wrongPasswordLine(std::string_view password, const User& user) {
  return std::string("Хэш использованного пароля "_cp866) +
         hashPassword(password, user.rounds(), user.salt()) + "\n";
}

// The refusal text of a check, or "" when it passed.
std::string refusalOf(CredentialCache& cache, const User& user, std::string_view password) {
  try {
    cache.checkPassword(user, TextView(password));
    return "";
  } catch (const SemanticError& error) {
    return cp866ToUtf8(error.message());
  }
}

struct NoPrincipals : PrincipalLookup {
  std::shared_ptr<Role> findPrincipal(std::string_view) const override { return nullptr; }
};

// A user read from a security-file body with a stored hash of `rounds` rounds.
std::shared_ptr<User> userWithStoredHash(const std::string& name, std::string_view password,
                                         uint32_t rounds, const std::string& salt) {
  const std::string body = name + " alias #0## kind grantee account unlock password rounds " +
                           std::to_string(rounds) + " salt #8#" + salt + "# hash #128#" +
                           hashPassword(password, rounds, salt) + "# { }";
  Scanner scanner{TextView(body)};
  scanner.next();
  std::shared_ptr<User> user = User::create();
  user->readBody(scanner, NoPrincipals());
  return user;
}

std::shared_ptr<User> userWithPassword(const std::string& name, std::string_view password) {
  std::shared_ptr<User> user = User::create();
  user->setName(name);
  user->setPassword(TextView(password));
  return user;
}

class CredentialCacheTest : public ::testing::Test {
 protected:
  CredentialCache cache;
  test::ConsoleCapture console;
};

TEST_F(CredentialCacheTest, WrongPasswordIsRefusedWithItsHashEvenAfterTheRightOneWasKept) {
  auto bob = userWithPassword("bob", "pw");
  EXPECT_EQ(refusalOf(cache, *bob, "pw"), "");
  EXPECT_EQ(cache.size(), 1u);
  for (std::string_view wrong : {"pW", "pw ", "p", "", "pwpw"}) {
    console.clear();
    EXPECT_EQ(refusalOf(cache, *bob, wrong), "неверный пароль") << wrong;
    EXPECT_EQ(console.text(), wrongPasswordLine(wrong, *bob)) << wrong;
  }
  console.clear();
  EXPECT_EQ(refusalOf(cache, *bob, "pw"), "");
  EXPECT_EQ(console.text(), "");
}

TEST_F(CredentialCacheTest, ChangedPasswordMissesTheKeptOne) {
  auto bob = userWithPassword("bob", "old");
  ASSERT_EQ(refusalOf(cache, *bob, "old"), "");
  bob->setPassword(TextView("new"));
  EXPECT_EQ(refusalOf(cache, *bob, "old"), "неверный пароль");
  EXPECT_EQ(console.text(), wrongPasswordLine("old", *bob));
  EXPECT_EQ(refusalOf(cache, *bob, "new"), "");
  EXPECT_EQ(refusalOf(cache, *bob, "new"), "");
  // The same password set again has a new salt: it still verifies, the old tag is gone.
  bob->setPassword(TextView("new"));
  EXPECT_EQ(refusalOf(cache, *bob, "new"), "");
}

TEST_F(CredentialCacheTest, AnotherUserUnderTheSameNameIsCheckedAfresh) {
  auto first = userWithPassword("bob", "first");
  ASSERT_EQ(refusalOf(cache, *first, "first"), "");
  auto second = userWithPassword("bob", "second");
  EXPECT_EQ(refusalOf(cache, *second, "first"), "неверный пароль");
  EXPECT_EQ(refusalOf(cache, *second, "second"), "");
  EXPECT_EQ(refusalOf(cache, *first, "second"), "неверный пароль");
}

TEST_F(CredentialCacheTest, StoredRoundsAndEmptyPasswordsAnswerAsTheFullCheck) {
  // A security file may carry any rounds count; the hash is taken as read.
  std::shared_ptr<User> zero = userWithStoredHash("zero", "", 0, "0000ABCD");
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(refusalOf(cache, *zero, ""), "");
    EXPECT_EQ(refusalOf(cache, *zero, " "), "неверный пароль");
  }
}

TEST_F(CredentialCacheTest, MoreUsersThanEntriesStayCorrect) {
  std::vector<std::shared_ptr<User>> users;
  // Rounds 0 keeps this fast; the cache does not care.
  for (std::size_t i = 0; i < CredentialCache::MAX_ENTRIES + 8; ++i) {
    users.push_back(userWithStoredHash(numbered("u", i), numbered("p", i), 0, "00000000"));
  }
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < users.size(); ++i) {
      ASSERT_EQ(refusalOf(cache, *users[i], numbered("p", i)), "") << i;
      if (i % 512 == 0) {
        EXPECT_EQ(refusalOf(cache, *users[i], "p"), "неверный пароль") << i;
      }
      ASSERT_LE(cache.size(), CredentialCache::MAX_ENTRIES);
    }
  }
}

// Through the parser: every change of the security store shows at the next login.
const std::string SECURITY = "security {\r\n" + userEntry("admin", "admin", "secret") +
                             userEntry("bob", "grantee", "pw") + "}\r\n";
const std::string ADMIN = "User: admin\r\nPassword: secret\r\n";

class LoginCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeFile(dir.file("security.txt"), SECURITY);
    parser = std::make_unique<Parser>(ParserFiles::inBaseDirectory(dir.path()));
  }
  std::string run(const std::string& query) {
    TextBuffer answer;
    try {
      parser->execute(TextView(query), answer);
      return cp866ToUtf8(answer.stringView());
    } catch (const TextError& error) {
      return "ERROR\r\n" + cp866ToUtf8(error.text());
    }
  }
  std::string asBob(const std::string& password) {
    return run("User: bob\r\nPassword: " + password + "\r\nget users;");
  }
  bool loggedIn(const std::string& answer) { return answer.starts_with("OK\r\n"); }

  test::InstanceDir dir;
  test::ConsoleCapture console;
  std::unique_ptr<Parser> parser;
};

TEST_F(LoginCacheTest, WrongPasswordAndLockAnswerAsBeforeAfterAGoodLogin) {
  const std::string refusedForRights = asBob("pw");
  EXPECT_FALSE(loggedIn(refusedForRights));  // a grantee may not list users...
  EXPECT_EQ(refusedForRights.find("неверный пароль"), std::string::npos);  // ...but logged in
  console.clear();
  EXPECT_EQ(asBob("pw"), refusedForRights);
  EXPECT_EQ(console.text(), "");

  const std::string wrong = asBob("guess");
  EXPECT_NE(wrong.find("неверный пароль"), std::string::npos);
  EXPECT_EQ(console.text(), std::string("Хэш использованного пароля "_cp866) +
                                hashPassword("guess", 256, test::TEST_SALT) + "\n");

  ASSERT_TRUE(loggedIn(run(ADMIN + "alter user bob account lock;")));
  EXPECT_NE(asBob("pw").find("пользователь заблокирован"), std::string::npos);
  EXPECT_NE(asBob("guess").find("неверный пароль"), std::string::npos);  // before the lock
  ASSERT_TRUE(loggedIn(run(ADMIN + "alter user bob account unlock;")));
  EXPECT_EQ(asBob("pw"), refusedForRights);
}

TEST_F(LoginCacheTest, ChangedPasswordTakesEffectAtTheNextLogin) {
  ASSERT_TRUE(loggedIn(run(ADMIN + "alter user bob kind creator;")));
  ASSERT_TRUE(loggedIn(asBob("pw")));
  ASSERT_TRUE(loggedIn(run(ADMIN + "alter user bob identified by 'new';")));
  EXPECT_NE(asBob("pw").find("неверный пароль"), std::string::npos);
  EXPECT_TRUE(loggedIn(asBob("new")));
  // His own change counts the same way.
  ASSERT_TRUE(loggedIn(run("User: bob\r\nPassword: new\r\nalter user bob identified by 'own';")));
  EXPECT_NE(asBob("new").find("неверный пароль"), std::string::npos);
  EXPECT_TRUE(loggedIn(asBob("own")));
}

TEST_F(LoginCacheTest, DroppedRenamedAndRecreatedUsersLogInOnlyAsTheStoreSays) {
  ASSERT_TRUE(loggedIn(run(ADMIN + "alter user bob kind creator;")));
  ASSERT_TRUE(loggedIn(asBob("pw")));

  ASSERT_TRUE(loggedIn(run(ADMIN + "alter user bob rename to rob;")));
  const std::string unknown = asBob("pw");
  EXPECT_FALSE(loggedIn(unknown));
  EXPECT_TRUE(loggedIn(run("User: rob\r\nPassword: pw\r\nget users;")));

  ASSERT_TRUE(loggedIn(run(ADMIN + "create user bob alias '' kind creator account unlock "
                                   "identified by 'other';")));
  EXPECT_NE(asBob("pw").find("неверный пароль"), std::string::npos);
  EXPECT_TRUE(loggedIn(asBob("other")));

  ASSERT_TRUE(loggedIn(run(ADMIN + "drop user bob;")));
  EXPECT_EQ(asBob("other"), unknown);
  ASSERT_TRUE(loggedIn(run(ADMIN + "drop user rob;")));
  EXPECT_FALSE(loggedIn(run("User: rob\r\nPassword: pw\r\nget users;")));
  EXPECT_EQ(run("User: rob\r\nPassword: pw\r\nget users;").find("неверный пароль"),
            std::string::npos);
}

}  // namespace
}  // namespace dovrel::query
