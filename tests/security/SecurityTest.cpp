// The security store: the two-pass load of the security file with its rules, the bytes it
// writes back, the look-ups, and the structural changes with their refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"
#include "principals/Public.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"
#include "security/Security.h"
#include "security/StoreTestSupport.h"
#include "tables/Table.h"
#include "tables/TableSet.h"

namespace dovrel {
namespace {

using test::roleEntry;
using test::userEntry;

class SecurityStoreTest : public ::testing::Test {
 protected:
  // Loads `text` as security.txt over the tables named (each gets a structure file).
  std::unique_ptr<Security> load(const std::string& text,
                                 const std::vector<std::string>& tableNames = {}) {
    for (const std::string& name : tableNames) {
      test::writeFile(dir.dataDir() + name + ".structure", test::structureText(name));
    }
    test::writeFile(path(), text);
    tables = std::make_shared<TableSet>(dir.dataDir());
    tables->load();
    return std::make_unique<Security>(path(), *tables);
  }
  // The message of the failed load, whatever channel it took.
  std::string loadFailure(const std::string& text, const std::vector<std::string>& tableNames) {
    try {
      load(text, tableNames);
    } catch (const SemanticError& e) {
      return e.message();
    } catch (const TextError& e) {
      return e.text();
    } catch (const DiskOrMemoryError& e) {
      return "disk: " + e.message();
    }
    return "<loaded>";
  }
  std::string written(const Security& security) {
    TextBuffer out;
    security.write(out);
    return out.toString();
  }
  std::string path() const { return dir.file("security.txt"); }

  test::InstanceDir dir;
  std::shared_ptr<TableSet> tables;
};

// Names in map order, so the file as written is the file as read.
const std::string SAMPLE = "security {\r\n" +
                           userEntry("alice", "admin", "pw", false, {"readers"}) +
                           userEntry("bob", "grantee", "", true) +
                           roleEntry("editors", {"readers"}) + roleEntry("readers") +
                           "   table t owner bob {\r\n"
                           "      readers: select, insert;\r\n"
                           "      alice: history;\r\n"
                           "   }\r\n"
                           "}\r\n";

TEST_F(SecurityStoreTest, FileReadBackIsWrittenAndSavedByteForByte) {
  auto security = load(SAMPLE, {"t"});
  EXPECT_EQ(written(*security), SAMPLE);
  security->save();
  EXPECT_EQ(test::readFile(path()), SAMPLE);
}

TEST_F(SecurityStoreTest, RoleListsResolveAgainstTheWholeFileAndEveryoneIsInPublic) {
  // alice names readers, which is defined further down.
  auto security = load(SAMPLE, {"t"});
  auto alice = security->getUser("alice");
  auto readers = security->getRole("readers");
  EXPECT_TRUE(alice->inheritsFrom(*readers));
  EXPECT_TRUE(security->getRole("editors")->inheritsFrom(*readers));
  for (const auto& [name, principal] : security->principals()) {
    EXPECT_TRUE(principal->inheritsFrom(*security->publicRole())) << name;
  }
  EXPECT_TRUE(security->getUser("bob")->locked());
  EXPECT_EQ(tables->getTable("t")->getSecurity()->owner()->getName(), "bob");
}

TEST_F(SecurityStoreTest, BrokenFilesStopTheLoadWithTheirMessage) {
  const std::string user = userEntry("bob", "grantee", "x");
  const struct {
    std::string text;
    std::vector<std::string> tables;
    std::string message;
  } cases[] = {
      {"security {\r\n" + user + roleEntry("bob") + "}\r\n", {}, "повторное объявление имени bob"},
      {"security {\r\n" + roleEntry("public") + "}\r\n", {}, "повторное объявление имени public"},
      {"security {\r\n" + roleEntry("r", {"ghost"}) + "}\r\n",
       {},
       "не найдено определение роли ghost"},
      {"security {\r\n" + roleEntry("a", {"bob"}) + user + "}\r\n",
       {},
       "нельзя grant bob to a (пользователь?)"},
      {"security {\r\n" + roleEntry("a", {"b"}) + roleEntry("b", {"a"}) + "}\r\n",
       {},
       "получится циклическая зависимость a и b"},
      {"security {\r\n" + user + "}\r\n", {"t"}, "безопасность для таблицы t не установлена"},
      {"security {\r\n" + user + roleEntry("r") + "   table t owner r {\r\n   }\r\n}\r\n",
       {"t"},
       "владелец r таблицы t не является пользователем"},
      {"security {\r\n" + user +
           "   table t owner bob {\r\n   }\r\n   table t owner bob {\r\n   }\r\n}\r\n",
       {"t"},
       "повторное объявление имени таблицы t"},
      {"security {\r\n   table t owner bob {\r\n   }\r\n" + user + "}\r\n",
       {"t"},
       "имя владельца bob таблицы t не найдено"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cp866ToUtf8(loadFailure(c.text, c.tables)), c.message);
    std::filesystem::remove_all(dir.dataDir());
    std::filesystem::create_directory(dir.dataDir());
  }
}

TEST_F(SecurityStoreTest, PrincipalAfterTheFirstTableEntryIsASyntaxError) {
  const std::string text = "security {\r\n" + userEntry("bob", "admin", "x") +
                           "   table t owner bob {\r\n   }\r\n" + roleEntry("r") + "}\r\n";
  const std::string failure = cp866ToUtf8(loadFailure(text, {"t"}));
  EXPECT_EQ(failure, "Ошибка в строке 6 столбце 8: ожидается '}' получено <имя>");
}

TEST_F(SecurityStoreTest, MissingFileIsADiskFailure) {
  tables = std::make_shared<TableSet>(dir.dataDir());
  tables->load();
  EXPECT_THROW(Security(path(), *tables), DiskOrMemoryError);
}

TEST_F(SecurityStoreTest, EntryForAMissingTableIsIgnoredAndGoneAfterTheNextSave) {
  const std::string users = userEntry("bob", "admin", "x");
  auto security = load(
      "security {\r\n" + users + "   table gone owner bob {\r\n      bob: select;\r\n   }\r\n}\r\n",
      {});
  security->save();
  EXPECT_EQ(test::readFile(path()), "security {\r\n" + users + "}\r\n");
}

TEST_F(SecurityStoreTest, LookUpsSayWhatANameBelongsTo) {
  auto security = load(SAMPLE, {"t"});
  const struct {
    std::function<void()> lookUp;
    std::string message;
  } cases[] = {
      {[&] { security->getPrincipal("zed"); }, "имя zed не принадлежит ни роли, ни пользователю"},
      {[&] { security->getUser("zed"); }, "имя zed не принадлежит ни роли, ни пользователю"},
      {[&] { security->getUser("readers"); }, "имя readers принадлежит роли, а не пользователю"},
      {[&] { security->getUser("public"); }, "имя public принадлежит роли, а не пользователю"},
      {[&] { security->getRole("alice"); }, "имя alice принадлежит пользователю, а не роли"},
      {[&] { security->getRole("public"); }, "имя public принадлежит не роли"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cp866ToUtf8(test::semanticMessageOf(c.lookUp)), c.message);
  }
  EXPECT_EQ(security->getPrincipal("public"), security->publicRole());
  EXPECT_EQ(security->getRole("readers")->getName(), "readers");
}

TEST_F(SecurityStoreTest, NewPrincipalJoinsPublicUnderAFreeName) {
  auto security = load(SAMPLE, {"t"});
  auto role = Role::create();
  role->setName("auditors");
  security->addPrincipal(role);
  EXPECT_EQ(security->getRole("auditors"), role);
  EXPECT_TRUE(role->inheritsFrom(*security->publicRole()));

  for (const std::string name : {"auditors", "alice", "public"}) {
    auto again = User::create();
    again->setName(name);
    EXPECT_EQ(cp866ToUtf8(test::semanticMessageOf([&] { security->addPrincipal(again); })),
              "пользователь/роль " + name + " уже существует");
  }
}

TEST_F(SecurityStoreTest, RenamedRoleIsWrittenUnderItsNewNameEverywhere) {
  auto security = load(SAMPLE, {"t"});
  auto readers = security->getRole("readers");
  EXPECT_EQ(
      cp866ToUtf8(test::semanticMessageOf([&] { security->renamePrincipal(readers, "readers"); })),
      "имя readers уже занято пользователем/ролью");
  EXPECT_EQ(cp866ToUtf8(test::semanticMessageOf(
                [&] { security->renamePrincipal(security->publicRole(), "all"); })),
            "нельзя переименовать public");

  security->renamePrincipal(readers, "viewers");
  EXPECT_EQ(security->getRole("viewers"), readers);
  EXPECT_THROW(security->getPrincipal("readers"), SemanticError);
  // Membership lines and grants name the object, so they follow; the alias stays.
  const std::string expected =
      "security {\r\n" + userEntry("alice", "admin", "pw", false, {"viewers"}) +
      userEntry("bob", "grantee", "", true) + roleEntry("editors", {"viewers"}) +
      "   role viewers alias #7#readers# {\r\n   }\r\n"
      "   table t owner bob {\r\n"
      "      viewers: select, insert;\r\n"
      "      alice: history;\r\n"
      "   }\r\n"
      "}\r\n";
  EXPECT_EQ(written(*security), expected);
}

TEST_F(SecurityStoreTest, DroppedUserLeavesHisTablesToTheDropperAndLosesHisGrants) {
  auto security =
      load("security {\r\n" + userEntry("alice", "admin", "a") + userEntry("bob", "grantee", "b") +
               "   table t owner bob {\r\n   }\r\n"
               "   table u owner alice {\r\n      bob: select;\r\n   }\r\n}\r\n",
           {"t", "u"});
  auto alice = security->getUser("alice");
  auto bob = security->getUser("bob");
  EXPECT_EQ(cp866ToUtf8(test::semanticMessageOf([&] { security->dropUser(alice, alice); })),
            "пользователь не может удалить себя");

  security->dropUser(bob, alice);
  EXPECT_EQ(tables->getTable("t")->getSecurity()->owner(), alice);
  EXPECT_EQ(written(*security), "security {\r\n" + userEntry("alice", "admin", "a") +
                                    "   table t owner alice {\r\n   }\r\n"
                                    "   table u owner alice {\r\n   }\r\n}\r\n");
}

TEST_F(SecurityStoreTest, DroppedRoleLeavesEveryMembershipAndGrant) {
  auto security = load(SAMPLE, {"t"});
  auto alice = security->getUser("alice");
  auto readers = security->getRole("readers");
  security->dropRole(readers);
  EXPECT_FALSE(alice->inheritsFrom(*readers));
  EXPECT_EQ(written(*security), "security {\r\n" + userEntry("alice", "admin", "pw") +
                                    userEntry("bob", "grantee", "", true) + roleEntry("editors") +
                                    "   table t owner bob {\r\n      alice: history;\r\n   }\r\n"
                                    "}\r\n");
}

TEST_F(SecurityStoreTest, RoleGrantsStopAtTheFirstRefusalAndKeepTheEarlierOnes) {
  auto security = load(SAMPLE, {"t"});
  auto bob = security->getUser("bob");
  auto editors = security->getRole("editors");
  auto readers = security->getRole("readers");
  // Members outer, roles inner: bob gets both, then readers cannot become its own member.
  EXPECT_EQ(cp866ToUtf8(test::semanticMessageOf([&] {
              security->grantRoles({editors, readers}, {bob, readers});
            })),
            "получится циклическая зависимость editors и readers");
  EXPECT_TRUE(bob->inheritsFrom(*editors));
  EXPECT_EQ(bob->memberOf().size(), 3u);  // public, editors, readers

  security->revokeRoles({editors, security->getRole("readers")}, {bob, editors});
  EXPECT_FALSE(bob->inheritsFrom(*editors));
  EXPECT_FALSE(bob->inheritsFrom(*readers));
  EXPECT_FALSE(editors->inheritsFrom(*readers));
}

TEST_F(SecurityStoreTest, CommitNeedsAnAdminOrInsertOrUpdateOnSomeTable) {
  auto security =
      load("security {\r\n" + userEntry("alice", "admin", "a") +
               userEntry("bob", "grantee", "b", false, {"writers"}) +
               userEntry("carl", "creator", "c") + roleEntry("writers") +
               "   table t owner alice {\r\n      carl: select, meta, history;\r\n   }\r\n"
               "   table u owner alice {\r\n   }\r\n}\r\n",
           {"t", "u"});
  auto bob = security->getUser("bob");
  auto carl = security->getUser("carl");
  TableSecurity& u = *tables->getTable("u")->getSecurity();
  EXPECT_TRUE(security->mayCommit(*security->getUser("alice")));
  EXPECT_FALSE(security->mayCommit(*bob));
  EXPECT_FALSE(security->mayCommit(*carl));

  security->grantPrivileges(u, {TablePrivilege::UPDATE}, {security->getRole("writers")});
  EXPECT_TRUE(security->mayCommit(*bob));  // through his role
  EXPECT_FALSE(security->mayCommit(*carl));
  security->grantPrivileges(u, {TablePrivilege::INSERT}, {security->publicRole()});
  EXPECT_TRUE(security->mayCommit(*carl));  // through public

  security->revokePrivileges(u, {TablePrivilege::INSERT, TablePrivilege::UPDATE},
                             {security->getRole("writers"), security->publicRole()});
  EXPECT_FALSE(security->mayCommit(*bob));
  EXPECT_FALSE(security->mayCommit(*carl));
}

TEST_F(SecurityStoreTest, UserListingHasNoPasswordParts) {
  auto security = load(SAMPLE, {"t"});
  TextBuffer out;
  security->listUsers(out);
  EXPECT_EQ(
      out.toString(),
      "{\r\n"
      "   user alice alias #5#alice# kind admin account unlock {\r\n      readers;\r\n   }\r\n"
      "   user bob alias #3#bob# kind grantee account lock {\r\n   }\r\n"
      "   role editors alias #7#editors# {\r\n      readers;\r\n   }\r\n"
      "   role readers alias #7#readers# {\r\n   }\r\n"
      "}\r\n");
}

}  // namespace
}  // namespace dovrel
