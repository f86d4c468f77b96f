// The security commands: each reads its command, checks the acting user's rights at its own
// point, changes the security store, saves it and records the request in the security log.
// Query thread only, under the parser.
//
// The log entry is opened where each command's rules place it: a refusal before that point
// leaves no entry, one after it closes the entry with "[Failure]". Changes made in memory
// before a refusal stay there and reach the file with the next successful save.
#include "query/SecurityCommands.h"

#include <string>
#include <vector>

#include "foundation/Cp866.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "principals/Role.h"
#include "principals/TablePrivilege.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"
#include "query/Answer.h"
#include "query/Parser.h"
#include "query/PrivilegeGate.h"
#include "security/Security.h"
#include "security/SecurityQuery.h"
#include "tables/Table.h"

namespace dovrel::query {

namespace {

// The log entry of the current request.
SecurityQuery openLogEntry(Parser& parser) {
  return SecurityQuery(parser.securityLog(), parser.queryText());
}

// The common end of every changing command: the file first, so that "[Success]" and "OK"
// are only ever written for a change that is on disk.
void finish(Parser& parser, SecurityQuery& entry, TextBuffer& answer) {
  parser.security().save();
  entry.success();
  writeOk(answer);
}

// NAME {, NAME}, each read with `what` for the error text.
std::vector<std::string> readNameList(Scanner& scanner, std::string_view what) {
  std::vector<std::string> names;
  names.push_back(scanner.expectName(what));
  while (scanner.kind() == TOKEN_COMMA) {
    scanner.next();
    names.push_back(scanner.expectName(what));
  }
  return names;
}

// rename to NAME ;   with the scanner on "rename". The new name, read with `what`.
std::string readRename(Scanner& scanner, std::string_view what) {
  scanner.expectKeyword("rename");
  scanner.expectKeyword("to");
  std::string newName = scanner.expectName(what);
  scanner.expectCommandEnd();
  return newName;
}

// grant and revoke differ only in their words and in the store operations they end with.
struct GrantWords {
  std::string_view keyword;  // "grant" or "revoke"
  std::string_view towards;  // "to" or "from"
  bool grant;
};

void runGrantOrRevoke(Parser& parser, const User& user, TextBuffer& answer,
                      const GrantWords& words) {
  Scanner& scanner = parser.scanner();
  Security& security = parser.security();
  scanner.expectKeyword(words.keyword);
  SecurityQuery entry = openLogEntry(parser);

  // The first list is resolved only once it is known whether it names roles or privileges.
  const std::vector<std::string> names = readNameList(scanner, "роли или привилегии"_cp866);
  std::shared_ptr<TableSecurity> tableSecurity;
  if (scanner.isName("on")) {
    scanner.next();
    tableSecurity = parser.readTable()->getSecurity();
  }
  scanner.expectKeyword(words.towards);
  std::vector<std::shared_ptr<Role>> members;
  members.push_back(security.getPrincipal(scanner.expectName("пользователя или группы"_cp866)));
  while (scanner.kind() == TOKEN_COMMA) {
    scanner.next();
    members.push_back(security.getPrincipal(scanner.expectName("пользователя или группы"_cp866)));
  }
  scanner.expectCommandEnd();

  if (tableSecurity == nullptr) {
    std::vector<std::shared_ptr<Role>> roles;
    for (const std::string& name : names) roles.push_back(security.getRole(name));
    requireAdmin(user, "модификации пользователей/ролей"_cp866);
    if (words.grant) {
      security.grantRoles(roles, members);
    } else {
      security.revokeRoles(roles, members);
    }
  } else {
    // An unknown privilege is reported before the rights, to owner and stranger alike.
    PrivilegeSet privileges;
    for (const std::string& name : names) privileges.add(findPrivilege(name));
    requireModify(*tableSecurity, user, "модификации привилегий таблицы"_cp866);
    if (words.grant) {
      security.grantPrivileges(*tableSecurity, privileges, members);
    } else {
      security.revokePrivileges(*tableSecurity, privileges, members);
    }
  }
  finish(parser, entry, answer);
}

}  // namespace

void runAlterTable(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("table");
  const std::shared_ptr<Table> table = parser.readTable();
  scanner.expectKeyword("owner");
  std::shared_ptr<User> owner = parser.security().getUser(scanner.expectName("пользователя"_cp866));
  scanner.expectCommandEnd();
  SecurityQuery entry = openLogEntry(parser);
  // Somebody who may not change the table is answered as if he had: the owner stays.
  TableSecurity& tableSecurity = *table->getSecurity();
  if (tableSecurity.canModify(*user)) tableSecurity.setOwner(std::move(owner));
  finish(parser, entry, answer);
}

void runAlterUser(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  Security& security = parser.security();
  scanner.expectKeyword("user");
  SecurityQuery entry = openLogEntry(parser);
  const std::shared_ptr<User> target = security.getUser(scanner.expectName("пользователя"_cp866));
  if (scanner.isName("rename")) {
    const std::string newName = readRename(scanner, "пользователя"_cp866);
    requireAdmin(*user, "переименования пользователя"_cp866);
    security.renamePrincipal(target, newName);
  } else {
    requireSelfOrAdmin(*user, *target, "модификации пользователя"_cp866);
    target->readAlteration(scanner, target == user);
  }
  finish(parser, entry, answer);
}

void runAlterRole(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  Security& security = parser.security();
  scanner.expectKeyword("role");
  SecurityQuery entry = openLogEntry(parser);
  const std::shared_ptr<Role> role = security.getRole(scanner.expectName("роли"_cp866));
  if (scanner.isName("rename")) {
    const std::string newName = readRename(scanner, "роли"_cp866);
    requireAdmin(*user, "переименования роли"_cp866);
    security.renamePrincipal(role, newName);
  } else {
    requireAdmin(*user, "модификации роли"_cp866);
    role->readAlteration(scanner);
  }
  finish(parser, entry, answer);
}

void runCreateUser(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  requireAdmin(*user, "создания пользователя"_cp866);
  SecurityQuery entry = openLogEntry(parser);
  std::shared_ptr<User> defined = User::readDefinition(parser.scanner());
  parser.scanner().expectRequestEnd();
  parser.security().addPrincipal(std::move(defined));
  finish(parser, entry, answer);
}

void runCreateRole(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  requireAdmin(*user, "создания роли"_cp866);
  SecurityQuery entry = openLogEntry(parser);
  std::shared_ptr<Role> defined = Role::readDefinition(parser.scanner());
  parser.scanner().expectRequestEnd();
  parser.security().addPrincipal(std::move(defined));
  finish(parser, entry, answer);
}

void runDropUser(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  requireAdmin(*user, "удаления пользователя"_cp866);
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("user");
  const std::string name = scanner.expectName("пользователя"_cp866);
  scanner.expectCommandEnd();
  SecurityQuery entry = openLogEntry(parser);
  Security& security = parser.security();
  security.dropUser(security.getUser(name), user);
  finish(parser, entry, answer);
}

void runDropRole(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  requireAdmin(*user, "удаления роли"_cp866);
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("role");
  const std::string name = scanner.expectName("роли"_cp866);
  scanner.expectCommandEnd();
  SecurityQuery entry = openLogEntry(parser);
  Security& security = parser.security();
  security.dropRole(security.getRole(name));
  finish(parser, entry, answer);
}

void runGrant(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  runGrantOrRevoke(parser, *user, answer, GrantWords{"grant", "to", true});
}

void runRevoke(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  runGrantOrRevoke(parser, *user, answer, GrantWords{"revoke", "from", false});
}

void runGetUsers(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  requireCreator(*user, "получения списка пользователей"_cp866);
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("users");
  scanner.expectCommandEnd();
  writeOk(answer);
  parser.security().listUsers(answer);
}

}  // namespace dovrel::query
