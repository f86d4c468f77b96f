// Membership rules of principals, the role texts and their readers, and the built-in
// "public".
#include <gtest/gtest.h>

#include "foundation/Cp866.h"
#include "foundation/TextBuffer.h"
#include "principals/PrincipalDirectory.h"
#include "principals/Role.h"

namespace dovrel {
namespace {

using test::PrincipalDirectory;
using test::semanticMessage;
using test::textErrorOf;
using test::TextScanner;

std::string cycle(const std::string& a, const std::string& b) {
  return std::string("получится циклическая зависимость "_cp866) + a + std::string(" и "_cp866) + b;
}

class MembershipTest : public ::testing::Test {
 protected:
  PrincipalDirectory dir;
  std::shared_ptr<Role> readers = dir.addRole("readers");
  std::shared_ptr<Role> writers = dir.addRole("writers");
  std::shared_ptr<Role> staff = dir.addRole("staff");
  std::shared_ptr<User> bob = dir.addUser("bob");
};

TEST_F(MembershipTest, GrantingARoleToItselfIsACycle) {
  EXPECT_EQ(semanticMessage([&] { readers->grant(readers); }), cycle("readers", "readers"));
}

TEST_F(MembershipTest, GrantingAUserAsARoleIsRefused) {
  EXPECT_EQ(semanticMessage([&] { readers->grant(bob); }),
            std::string("нельзя grant bob to readers (пользователь?)"_cp866));
  EXPECT_FALSE(readers->inheritsFrom(*bob));
}

TEST_F(MembershipTest, CyclesThroughOtherRolesAreRefused) {
  writers->grant(readers);  // writers -> readers
  staff->grant(writers);    // staff -> writers -> readers
  EXPECT_TRUE(staff->inheritsFrom(*readers));
  EXPECT_FALSE(readers->inheritsFrom(*staff));
  EXPECT_EQ(semanticMessage([&] { readers->grant(staff); }), cycle("staff", "readers"));
  EXPECT_EQ(semanticMessage([&] { readers->grant(writers); }), cycle("writers", "readers"));
  EXPECT_EQ(readers->memberOf().size(), 1u);  // only public
}

TEST_F(MembershipTest, GrantingWhatIsAlreadyInheritedAddsADirectMembership) {
  writers->grant(readers);
  bob->grant(writers);
  ASSERT_TRUE(bob->inheritsFrom(*readers));
  bob->grant(readers);
  EXPECT_EQ(bob->memberOf().size(), 3u);  // public, writers, readers
  bob->grant(readers);                    // twice changes nothing
  EXPECT_EQ(bob->memberOf().size(), 3u);
  // Revoking the direct grant keeps what comes through writers.
  bob->revoke(*readers);
  EXPECT_TRUE(bob->inheritsFrom(*readers));
  bob->revoke(*writers);
  EXPECT_FALSE(bob->inheritsFrom(*readers));
  bob->revoke(*writers);  // absent: no error
  EXPECT_TRUE(bob->inheritsFrom(*dir.publicRole()));
}

TEST_F(MembershipTest, NothingCanBeGrantedToPublic) {
  // Every role is already a member of public.
  EXPECT_EQ(semanticMessage([&] { dir.publicRole()->grant(readers); }), cycle("readers", "public"));
}

TEST_F(MembershipTest, LongAndWideRoleGraphsAreWalkedQuickly) {
  // Forty layers of two roles, each a member of both roles of the layer above: a walk of
  // every path would take 2^40 steps.
  std::vector<std::shared_ptr<Role>> above = {readers, writers};
  for (int layer = 0; layer < 40; ++layer) {
    std::vector<std::shared_ptr<Role>> here;
    for (int k = 0; k < 2; ++k) {
      std::string name = std::to_string(layer) + "_" + std::to_string(k);
      auto r = dir.addRole(name.insert(0, 1, 'r'));
      for (auto& a : above) r->grant(a);
      here.push_back(r);
    }
    above = here;
  }
  bob->grant(above[0]);
  EXPECT_TRUE(bob->inheritsFrom(*writers));
  EXPECT_FALSE(bob->inheritsFrom(*staff));
  EXPECT_EQ(semanticMessage([&] { readers->grant(above[1]); }), cycle("r39_1", "readers"));
}

class RoleTextTest : public ::testing::Test {
 protected:
  PrincipalDirectory dir;
  std::shared_ptr<Role> readers = dir.addRole("readers");
  std::shared_ptr<Role> writers = dir.addRole("writers");
};

TEST_F(RoleTextTest, DefinitionIsWrittenExactly) {
  auto role = Role::create();
  role->setName("staff");
  role->setAlias(std::string("Отдел #1"_cp866));
  dir.add(role);
  role->grant(readers);
  role->grant(writers);
  TextBuffer out;
  role->writeDefinition("   ", out);
  EXPECT_EQ(out.toString(), std::string("   role staff alias #8#Отдел #1# {\r\n"_cp866) +
                                "      readers;\r\n"
                                "      writers;\r\n"
                                "   }\r\n");
  TextBuffer listing;
  role->writeListing("", listing);
  EXPECT_EQ(listing.toString(), std::string("role staff alias #8#Отдел #1# {\r\n"_cp866) +
                                    "   readers;\r\n"
                                    "   writers;\r\n"
                                    "}\r\n");
}

TEST_F(RoleTextTest, BodyRoundTrip) {
  const std::string text =
      "   role staff alias #5#Staff# {\r\n"
      "      writers;\r\n"
      "      readers;\r\n"
      "   }\r\n";
  TextScanner scan(text);
  scan->expectKeyword("role");
  auto role = Role::create();
  role->readBody(*scan, dir);
  EXPECT_EQ(scan->kind(), TOKEN_END);
  EXPECT_EQ(role->getName(), "staff");
  EXPECT_EQ(role->alias(), "Staff");
  EXPECT_TRUE(role->inheritsFrom(*readers));
  TextBuffer out;
  role->writeDefinition("   ", out);
  EXPECT_EQ(out.toString(), text);
}

TEST_F(RoleTextTest, RoleListRefusesUnknownNamesUsersAndCycles) {
  dir.addUser("bob");
  auto role = Role::create();
  TextScanner unknown("staff alias 'x' { readers; nobody; }");
  EXPECT_EQ(semanticMessage([&] { role->readBody(*unknown, dir); }),
            std::string("не найдено определение роли nobody"_cp866));

  auto other = Role::create();
  TextScanner user("staff alias 'x' { bob; }");
  EXPECT_EQ(semanticMessage([&] { other->readBody(*user, dir); }),
            std::string("нельзя grant bob to staff (пользователь?)"_cp866));

  writers->grant(readers);
  TextScanner loop("readers alias 'x' { writers; }");
  auto reread = dir.findPrincipal("readers");
  EXPECT_EQ(semanticMessage([&] { reread->readBody(*loop, dir); }), cycle("writers", "readers"));
}

TEST_F(RoleTextTest, DefinitionAndAlterationReaders) {
  TextScanner def(std::string("role Auditors alias \"Проверка\" ;"_cp866));
  auto role = Role::readDefinition(*def);
  EXPECT_EQ(role->getName(), "auditors");
  EXPECT_EQ(role->alias(), std::string("Проверка"_cp866));
  EXPECT_TRUE(role->memberOf().empty());

  TextScanner alter("alias #3#new# ;");
  role->readAlteration(*alter);
  EXPECT_EQ(role->alias(), "new");

  TextScanner missing("role auditors;");
  EXPECT_NE(textErrorOf([&] {
              Role::readDefinition(*missing);
            }).find(std::string("ожидается alias получено ';'"_cp866)),
            std::string::npos);
}

TEST(PublicTest, WritesNothingAndCannotBeRead) {
  PrincipalDirectory dir;
  auto readers = dir.addRole("readers");
  TextBuffer out;
  dir.publicRole()->writeDefinition("   ", out);
  dir.publicRole()->writeListing("   ", out);
  dir.publicRole()->writeMembership("   ", out);
  EXPECT_EQ(out.length(), 0u);
  // A role's block never names public, although every role is a member of it.
  readers->writeDefinition("", out);
  EXPECT_EQ(out.toString(), "role readers alias #0## {\r\n}\r\n");

  TextScanner scan("public alias #0## { }");
  EXPECT_EQ(semanticMessage([&] { dir.publicRole()->readBody(*scan, dir); }),
            std::string("public не должны читать в явном виде"_cp866));
}

}  // namespace
}  // namespace dovrel
