// Table privileges and the table security record: the privilege checks, grants and
// revokes, the entry text and its reader.
#include <gtest/gtest.h>

#include "foundation/Cp866.h"
#include "foundation/TextBuffer.h"
#include "principals/PrincipalDirectory.h"
#include "principals/TablePrivilege.h"
#include "principals/TableSecurity.h"

namespace dovrel {
namespace {

using test::PrincipalDirectory;
using test::semanticMessage;
using test::textErrorOf;
using test::TextScanner;

TEST(TablePrivilegeTest, SevenNamesInTheirFixedOrder) {
  const std::array<std::string_view, 7> expected = {"structure", "select", "insert", "update",
                                                    "optimize",  "meta",   "history"};
  EXPECT_EQ(TablePrivilege::names(), expected);
  for (unsigned i = 0; i < TablePrivilege::COUNT; ++i) {
    EXPECT_EQ(findPrivilege(expected[i]).index(), i);
  }
  EXPECT_EQ(semanticMessage([] { findPrivilege("delete"); }),
            std::string("не найдена привилегия с именем delete"_cp866));
  // Names reach the lookup already folded; the comparison itself is exact.
  EXPECT_EQ(semanticMessage([] { findPrivilege("Select"); }),
            std::string("не найдена привилегия с именем Select"_cp866));
}

TEST(TablePrivilegeTest, PrivilegeListsReadNamesOnceEach) {
  TextScanner scan("select, META ,select, history;");
  PrivilegeSet set = readPrivilegeList(*scan);
  EXPECT_EQ(set,
            (PrivilegeSet{TablePrivilege::SELECT, TablePrivilege::META, TablePrivilege::HISTORY}));
  EXPECT_EQ(scan->kind(), TOKEN_SEMICOLON);

  TextScanner unknown("select, drop");
  EXPECT_EQ(semanticMessage([&] { readPrivilegeList(*unknown); }),
            std::string("не найдена привилегия с именем drop"_cp866));
  TextScanner trailingComma("select, ;");
  EXPECT_NE(textErrorOf([&] {
              readPrivilegeList(*trailingComma);
            }).find(std::string("ожидается имя привилегии получено ';'"_cp866)),
            std::string::npos);
}

class TableSecurityTest : public ::testing::Test {
 protected:
  PrincipalDirectory dir;
  std::shared_ptr<User> owner = dir.addUser("owner");
  std::shared_ptr<User> admin = dir.addUser("root", UserKind::ADMIN);
  std::shared_ptr<User> ann = dir.addUser("ann");
  std::shared_ptr<User> bob = dir.addUser("bob", UserKind::CREATOR);
  std::shared_ptr<Role> readers = dir.addRole("readers");
  std::shared_ptr<Role> staff = dir.addRole("staff");
  TableSecurity security{"books", owner};

  bool allowsAll(const User& u) const {
    for (unsigned i = 0; i < TablePrivilege::COUNT; ++i) {
      if (!security.allows(TablePrivilege::at(i), u)) return false;
    }
    return true;
  }
  std::string written(std::string_view indent = "   ") const {
    TextBuffer out;
    security.write(indent, out);
    return out.toString();
  }
};

TEST_F(TableSecurityTest, AdminAndOwnerPassEveryCheck) {
  EXPECT_TRUE(allowsAll(*admin));
  EXPECT_TRUE(allowsAll(*owner));
  EXPECT_FALSE(security.allows(TablePrivilege::STRUCTURE, *bob));  // a creator is no owner
  EXPECT_TRUE(security.canModify(*owner));
  EXPECT_TRUE(security.canModify(*admin));
  EXPECT_FALSE(security.canModify(*bob));
  security.grant(
      bob, PrivilegeSet{TablePrivilege::STRUCTURE, TablePrivilege::SELECT, TablePrivilege::INSERT,
                        TablePrivilege::UPDATE, TablePrivilege::OPTIMIZE, TablePrivilege::META,
                        TablePrivilege::HISTORY});
  EXPECT_TRUE(allowsAll(*bob));
  EXPECT_FALSE(security.canModify(*bob));  // holding every privilege is not owning
}

TEST_F(TableSecurityTest, GrantsReachUsersDirectlyThroughRolesAndThroughPublic) {
  security.grant(ann, PrivilegeSet{TablePrivilege::INSERT});
  EXPECT_TRUE(security.allows(TablePrivilege::INSERT, *ann));
  EXPECT_FALSE(security.allows(TablePrivilege::SELECT, *ann));
  EXPECT_FALSE(security.allows(TablePrivilege::INSERT, *bob));

  staff->grant(readers);
  bob->grant(staff);
  security.grant(readers, PrivilegeSet{TablePrivilege::SELECT});
  EXPECT_TRUE(security.allows(TablePrivilege::SELECT, *bob));  // bob -> staff -> readers
  EXPECT_FALSE(security.allows(TablePrivilege::SELECT, *ann));
  security.grant(staff, PrivilegeSet{TablePrivilege::SELECT, TablePrivilege::META});
  EXPECT_TRUE(security.allows(TablePrivilege::SELECT, *bob));  // two holders, both reached
  EXPECT_TRUE(security.allows(TablePrivilege::META, *bob));
  EXPECT_FALSE(security.allows(TablePrivilege::META, *ann));
  bob->revoke(*staff);
  EXPECT_FALSE(security.allows(TablePrivilege::SELECT, *bob));

  security.grant(dir.publicRole(), PrivilegeSet{TablePrivilege::STRUCTURE});
  EXPECT_TRUE(security.allows(TablePrivilege::STRUCTURE, *ann));
  EXPECT_TRUE(security.allows(TablePrivilege::STRUCTURE, *bob));
}

TEST_F(TableSecurityTest, HistoryAloneAllowsNoRead) {
  security.grant(ann, PrivilegeSet{TablePrivilege::HISTORY});
  EXPECT_FALSE(security.allows(TablePrivilege::SELECT, *ann));
  EXPECT_FALSE(security.allows(TablePrivilege::META, *ann));
  EXPECT_TRUE(security.allows(TablePrivilege::HISTORY, *ann));
}

TEST_F(TableSecurityTest, EntryIsWrittenInPrivilegeOrderAndEmptySetsVanish) {
  security.grant(readers, PrivilegeSet{TablePrivilege::HISTORY, TablePrivilege::SELECT});
  security.grant(ann, PrivilegeSet{TablePrivilege::META});
  security.grant(readers, PrivilegeSet{TablePrivilege::STRUCTURE, TablePrivilege::SELECT});
  EXPECT_EQ(written(),
            "   table books owner owner {\r\n"
            "      readers: structure, select, history;\r\n"
            "      ann: meta;\r\n"
            "   }\r\n");
  EXPECT_EQ(written(""),
            "table books owner owner {\r\n"
            "   readers: structure, select, history;\r\n"
            "   ann: meta;\r\n"
            "}\r\n");

  security.revoke(*ann, PrivilegeSet{TablePrivilege::META, TablePrivilege::INSERT});
  security.revoke(*readers, PrivilegeSet{TablePrivilege::HISTORY});
  security.revoke(*bob, PrivilegeSet{TablePrivilege::META});  // no entry: nothing happens
  EXPECT_EQ(written(""),
            "table books owner owner {\r\n"
            "   readers: structure, select;\r\n"
            "}\r\n");
  // The emptied entry can be filled again.
  security.grant(ann, PrivilegeSet{TablePrivilege::UPDATE});
  EXPECT_TRUE(security.allows(TablePrivilege::UPDATE, *ann));
}

TEST_F(TableSecurityTest, RenamedPrincipalsAreWrittenUnderTheirNewNames) {
  security.grant(readers, PrivilegeSet{TablePrivilege::SELECT});
  readers->setName("viewers");
  owner->setName("keeper");
  EXPECT_EQ(written(""),
            "table books owner keeper {\r\n"
            "   viewers: select;\r\n"
            "}\r\n");
}

TEST_F(TableSecurityTest, DroppedUserHandsOverOwnershipButNotHisGrants) {
  security.grant(owner, PrivilegeSet{TablePrivilege::SELECT});
  security.grant(ann, PrivilegeSet{TablePrivilege::INSERT});
  security.replaceUser(*owner, admin);
  EXPECT_EQ(security.owner(), admin);
  EXPECT_TRUE(security.grantedTo(*owner).empty());
  EXPECT_TRUE(security.grantedTo(*admin).empty());

  security.replaceUser(*ann, bob);  // not the owner: only the grants go
  EXPECT_EQ(security.owner(), admin);
  EXPECT_FALSE(security.allows(TablePrivilege::INSERT, *ann));
  EXPECT_FALSE(security.allows(TablePrivilege::INSERT, *bob));

  security.grant(readers, PrivilegeSet{TablePrivilege::SELECT});
  bob->grant(readers);
  security.removePrincipal(*readers);
  EXPECT_FALSE(security.allows(TablePrivilege::SELECT, *bob));
  EXPECT_EQ(written(""), "table books owner root {\r\n}\r\n");
}

class TableEntryReadTest : public TableSecurityTest {
 protected:
  std::string readError(const std::string& text) {
    TextScanner scan(text);
    return semanticMessage([&] { TableSecurity(*scan, dir); });
  }
};

TEST_F(TableEntryReadTest, RoundTripIsByteExact) {
  const std::string text =
      "   table books owner owner {\r\n"
      "      public: structure;\r\n"
      "      readers: structure, select;\r\n"
      "      ann: insert, update, history;\r\n"
      "   }\r\n";
  TextScanner scan(text);
  TableSecurity read(*scan, dir);
  EXPECT_EQ(scan->kind(), TOKEN_END);
  EXPECT_EQ(read.tableName(), "books");
  EXPECT_EQ(read.owner(), owner);
  EXPECT_EQ(read.grantedTo(*dir.publicRole()), PrivilegeSet{TablePrivilege::STRUCTURE});
  EXPECT_EQ(read.grantedTo(*ann), (PrivilegeSet{TablePrivilege::INSERT, TablePrivilege::UPDATE,
                                                TablePrivilege::HISTORY}));
  EXPECT_TRUE(read.allows(TablePrivilege::STRUCTURE, *bob));
  EXPECT_FALSE(read.allows(TablePrivilege::SELECT, *bob));
  TextBuffer out;
  read.write("   ", out);
  EXPECT_EQ(out.toString(), text);
}

TEST_F(TableEntryReadTest, PrincipalOnTwoLinesGetsTheUnion) {
  TextScanner scan("table t owner owner { ann: select; ann: meta, select; }");
  TableSecurity read(*scan, dir);
  EXPECT_EQ(read.grantedTo(*ann), (PrivilegeSet{TablePrivilege::SELECT, TablePrivilege::META}));
  TextBuffer out;
  read.write("", out);
  EXPECT_EQ(out.toString(), "table t owner owner {\r\n   ann: select, meta;\r\n}\r\n");
}

TEST_F(TableEntryReadTest, BadOwnersAndPrincipalsStopTheRead) {
  EXPECT_EQ(readError("table t owner nobody { }"),
            std::string("имя владельца nobody таблицы t не найдено"_cp866));
  EXPECT_EQ(readError("table t owner readers { }"),
            std::string("владелец readers таблицы t не является пользователем"_cp866));
  EXPECT_EQ(readError("table t owner public { }"),
            std::string("владелец public таблицы t не является пользователем"_cp866));
  EXPECT_EQ(readError("table t owner ann { ann: select; ghost: select; }"),
            std::string("пользователь/роль ghost таблицы t не найдена"_cp866));
  EXPECT_EQ(readError("table t owner ann { ann: selects; }"),
            std::string("не найдена привилегия с именем selects"_cp866));
  TextScanner unclosed("table t owner ann { ann: select;");
  EXPECT_NE(textErrorOf([&] {
              TableSecurity(*unclosed, dir);
            }).find(std::string("ожидается имя роли/пользователя получено <конец текста>"_cp866)),
            std::string::npos);
}

}  // namespace
}  // namespace dovrel
