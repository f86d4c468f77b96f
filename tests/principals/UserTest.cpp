// Users: passwords and the login checks, the definition and alteration readers with their
// self rules, and the user texts.
#include <gtest/gtest.h>

#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/TextBuffer.h"
#include "principals/PasswordHash.h"
#include "principals/PrincipalDirectory.h"
#include "principals/User.h"

namespace dovrel {
namespace {

using test::PrincipalDirectory;
using test::semanticMessage;
using test::textErrorOf;
using test::TextScanner;

TextView tv(std::string_view bytes) { return TextView(bytes); }

class PasswordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setConsoleSink([this](std::string_view m) { console += m; });
  }
  void TearDown() override { setConsoleSink({}); }

  std::string console;
  std::shared_ptr<User> user = User::create();
};

TEST_F(PasswordTest, EachPasswordGetsItsOwnSaltAndVerifies) {
  user->setPassword(tv("secret"));
  const std::string salt1 = user->salt(), hash1 = user->hash();
  EXPECT_EQ(user->rounds(), 256u);
  EXPECT_EQ(hash1, hashPassword("secret", 256, salt1));
  EXPECT_NO_THROW(user->checkPassword(tv("secret")));

  user->setPassword(tv("secret"));
  EXPECT_NE(user->salt(), salt1);
  EXPECT_NE(user->hash(), hash1);
  EXPECT_NO_THROW(user->checkPassword(tv("secret")));
  EXPECT_EQ(console, "");
}

TEST_F(PasswordTest, WrongPasswordPrintsItsHashAndFails) {
  user->setPassword(tv("secret"));
  EXPECT_EQ(semanticMessage([&] { user->checkPassword(tv("Secret")); }),
            std::string("неверный пароль"_cp866));
  EXPECT_EQ(console, std::string("Хэш использованного пароля "_cp866) +
                         hashPassword("Secret", 256, user->salt()) + "\n");
  console.clear();
  EXPECT_EQ(semanticMessage([&] { user->checkPassword(tv("")); }),
            std::string("неверный пароль"_cp866));
}

TEST_F(PasswordTest, EmptyPasswordIsAPassword) {
  user->setPassword(tv(""));
  EXPECT_EQ(user->hash(), hashPassword("", 256, user->salt()));
  EXPECT_NO_THROW(user->checkPassword(tv("")));
  EXPECT_EQ(semanticMessage([&] { user->checkPassword(tv(" ")); }),
            std::string("неверный пароль"_cp866));
}

TEST_F(PasswordTest, StoredRoundsAndSaltAreUsedAsRead) {
  PrincipalDirectory dir;
  const std::string hash = hashPassword("pw", 3, "salty");
  TextScanner scan(
      "u alias '' kind grantee account lock password rounds 3 salt 'salty' hash #128#" + hash +
      "# { }");
  user->readBody(*scan, dir);
  EXPECT_NO_THROW(user->checkPassword(tv("pw")));
  // The lock is checked on its own, after the password.
  EXPECT_EQ(semanticMessage([&] { user->checkNotLocked(); }),
            std::string("пользователь заблокирован"_cp866));
  user->setLocked(false);
  EXPECT_NO_THROW(user->checkNotLocked());
}

// One alteration case: who alters (his kind), whether it is himself, the clauses, and the
// expected refusal (empty when the alteration succeeds).
struct AlterationCase {
  UserKind actorKind;
  bool self;
  std::string clauses;
  std::string refusal;
};

class AlterationTest : public ::testing::TestWithParam<AlterationCase> {};

TEST_P(AlterationTest, SelfRules) {
  const AlterationCase& c = GetParam();
  auto target = User::create();
  target->setName("bob");
  target->setKind(c.self ? c.actorKind : UserKind::GRANTEE);
  target->setPassword(tv("old"));
  const UserKind kindBefore = target->kind();
  TextScanner scan(c.clauses);
  EXPECT_EQ(semanticMessage([&] { target->readAlteration(*scan, c.self); }),
            c.refusal.empty() ? "<no error>" : c.refusal);
  if (c.refusal.empty() && c.clauses.find("identified") != std::string::npos) {
    EXPECT_NO_THROW(target->checkPassword(tv("new")));
  }
  if (c.self) {
    EXPECT_EQ(target->kind(), kindBefore);
  }
}

const std::string NO_ALIAS = std::string("недостаточно прав для смены своего псевдонима"_cp866);
const std::string NO_KIND = std::string("нельзя менять свой базовый доступ"_cp866);
const std::string NO_LOCK = std::string("нельзя себя отключать"_cp866);

INSTANTIATE_TEST_SUITE_P(
    GranteeAndAdmin, AlterationTest,
    ::testing::Values(
        AlterationCase{UserKind::GRANTEE, true, "identified by 'new';", ""},
        AlterationCase{UserKind::GRANTEE, true, "alias 'me' identified by 'new';", NO_ALIAS},
        AlterationCase{UserKind::CREATOR, true, "alias 'me';", NO_ALIAS},
        AlterationCase{UserKind::GRANTEE, true, "kind admin;", NO_KIND},
        AlterationCase{UserKind::GRANTEE, true, "account unlock;", NO_LOCK},
        AlterationCase{UserKind::ADMIN, true, "alias 'me' identified by 'new';", ""},
        AlterationCase{UserKind::ADMIN, true, "kind grantee;", NO_KIND},
        AlterationCase{UserKind::ADMIN, true, "account lock;", NO_LOCK},
        AlterationCase{UserKind::ADMIN, false,
                       "alias 'x' kind creator account lock identified by 'new';", ""},
        AlterationCase{UserKind::ADMIN, false, ";", ""}));

TEST(AlterationEffectTest, ClausesApplyInOrderAndStayAppliedOnALaterFailure) {
  auto bob = User::create();
  bob->setName("bob");
  TextScanner all("alias 'Bob' kind admin account lock ;");
  bob->readAlteration(*all, false);
  EXPECT_EQ(bob->alias(), "Bob");
  EXPECT_EQ(bob->kind(), UserKind::ADMIN);
  EXPECT_TRUE(bob->locked());

  // Out of order: kind after account is not a clause, so ";" is expected there.
  TextScanner outOfOrder("alias 'B2' account unlock kind creator ;");
  EXPECT_NE(textErrorOf([&] {
              bob->readAlteration(*outOfOrder, false);
            }).find(std::string("ожидается ';' получено <имя>"_cp866)),
            std::string::npos);
  EXPECT_EQ(bob->alias(), "B2");
  EXPECT_FALSE(bob->locked());
  EXPECT_EQ(bob->kind(), UserKind::ADMIN);

  TextScanner badKind("kind superuser ;");
  EXPECT_NE(textErrorOf([&] {
              bob->readAlteration(*badKind, false);
            }).find(std::string("ожидается grantee получено superuser"_cp866)),
            std::string::npos);
  TextScanner badLock("account maybe ;");
  EXPECT_NE(textErrorOf([&] {
              bob->readAlteration(*badLock, false);
            }).find(std::string("ожидается unlock получено maybe"_cp866)),
            std::string::npos);
}

TEST(UserDefinitionTest, ReadsEveryClauseAndHashesThePassword) {
  TextScanner scan(std::string("user Ann alias \"Анна\" kind creator account unlock "_cp866) +
                   "identified by #3#a#b# ;");
  auto ann = User::readDefinition(*scan);
  EXPECT_EQ(scan->kind(), TOKEN_END);
  EXPECT_EQ(ann->getName(), "ann");
  EXPECT_EQ(ann->alias(), std::string("Анна"_cp866));
  EXPECT_EQ(ann->kind(), UserKind::CREATOR);
  EXPECT_FALSE(ann->locked());
  EXPECT_EQ(ann->rounds(), 256u);
  EXPECT_NO_THROW(ann->checkPassword(tv("a#b")));
  EXPECT_TRUE(ann->memberOf().empty());

  // Every clause is mandatory, in this order.
  TextScanner noLock("user ann alias 'a' kind admin identified by 'p';");
  EXPECT_NE(textErrorOf([&] {
              User::readDefinition(*noLock);
            }).find(std::string("ожидается account получено identified"_cp866)),
            std::string::npos);
}

class UserTextTest : public ::testing::Test {
 protected:
  PrincipalDirectory dir;
  std::shared_ptr<Role> readers = dir.addRole("readers");
  std::shared_ptr<Role> writers = dir.addRole("writers");
  const std::string hash = std::string(64, 'A') + std::string(64, '7');
  const std::string definition =
      "   user bob alias #3#Bob# kind creator account lock password rounds 256 salt "
      "#8#0000ABCD# hash #128#" +
      hash +
      "# {\r\n"
      "      readers;\r\n"
      "      writers;\r\n"
      "   }\r\n";
};

TEST_F(UserTextTest, DefinitionRoundTripIsByteExact) {
  TextScanner scan(definition);
  scan->expectKeyword("user");
  auto bob = User::create();
  bob->readBody(*scan, dir);
  EXPECT_EQ(scan->kind(), TOKEN_END);
  EXPECT_EQ(bob->getName(), "bob");
  EXPECT_EQ(bob->alias(), "Bob");
  EXPECT_EQ(bob->kind(), UserKind::CREATOR);
  EXPECT_TRUE(bob->locked());
  EXPECT_EQ(bob->rounds(), 256u);
  EXPECT_EQ(bob->salt(), "0000ABCD");
  EXPECT_EQ(bob->hash(), hash);
  EXPECT_TRUE(bob->inheritsFrom(*writers));

  TextBuffer out;
  bob->writeDefinition("   ", out);
  EXPECT_EQ(out.toString(), definition);
}

TEST_F(UserTextTest, ListingLeavesOutThePasswordPart) {
  auto ann = dir.addUser("ann", UserKind::ADMIN);
  ann->setAlias("");
  ann->setPassword(tv("pw"));
  ann->grant(readers);
  TextBuffer out;
  ann->writeListing("   ", out);
  EXPECT_EQ(out.toString(),
            "   user ann alias #0## kind admin account unlock {\r\n"
            "      readers;\r\n"
            "   }\r\n");
  TextBuffer full;
  ann->writeDefinition("", full);
  EXPECT_EQ(full.toString(),
            "user ann alias #0## kind admin account unlock password rounds 256 "
            "salt #8#" +
                ann->salt() + "# hash #128#" + ann->hash() + "# {\r\n   readers;\r\n}\r\n");
}

TEST_F(UserTextTest, UserNamedInARoleListStopsTheRead) {
  dir.addUser("ann");
  TextScanner scan(
      "bob alias 'b' kind grantee account unlock password rounds 256 salt 's' "
      "hash 'h' { readers; ann; }");
  auto bob = User::create();
  EXPECT_EQ(semanticMessage([&] { bob->readBody(*scan, dir); }),
            std::string("нельзя grant ann to bob (пользователь?)"_cp866));
}

}  // namespace
}  // namespace dovrel
