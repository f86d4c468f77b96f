// Security: loading the security file in two passes, writing it, and the rules of the
// structural changes. Query thread, or the main thread at start-up.
#include "security/Security.h"

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "principals/Public.h"
#include "principals/Role.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"
#include "tables/Table.h"
#include "tables/TableSet.h"

namespace dovrel {

namespace {

constexpr std::string_view INDENT = "   ";

std::string nameMessage(std::string_view name, std::string_view tail) {
  std::string message("имя "_cp866);
  message += name;
  message += tail;
  return message;
}

}  // namespace

Security::Security(std::string path, TableSet& tables) : file_(std::move(path)), tables_(tables) {
  TextBuffer text;
  if (ReliableFileResult result = file_.load(text)) {
    throw DiskOrMemoryError(file_.failureText(result));
  }
  createPrincipals(text.view());
  readBodies(text.view());
}

Security::~Security() = default;

void Security::createPrincipals(TextView text) {
  Scanner scanner(text);
  scanner.next();
  scanner.expectKeyword("security");
  scanner.expect(TOKEN_LBRACE);
  while (scanner.isName("user") || scanner.isName("role")) {
    const bool isUser = scanner.isName("user");
    scanner.next();
    std::string name = scanner.expectName(isUser ? "пользователя"_cp866 : "роли"_cp866);
    // "public" is the store's own; a file that declares it would make two of them.
    if (roles_.contains(name) || name == "public") {
      throw SemanticError(std::string("повторное объявление имени "_cp866) + name);
    }
    std::shared_ptr<Role> principal;
    if (isUser) {
      principal = User::create();
    } else {
      principal = Role::create();
    }
    // Named at once, so that a refusal in the second pass that names a principal defined
    // further down shows its name.
    principal->setName(name);
    roles_.emplace(std::move(name), std::move(principal));
    while (scanner.kind() != TOKEN_RBRACE && scanner.kind() != TOKEN_END) scanner.next();
    scanner.expect(TOKEN_RBRACE);
  }
  public_ = Public::create();
  for (auto& entry : roles_) entry.second->grant(public_);
  roles_.emplace(public_->getName(), public_);
}

void Security::readBodies(TextView text) {
  Scanner scanner(text);
  scanner.next();
  scanner.expectKeyword("security");
  scanner.expect(TOKEN_LBRACE);
  while (scanner.isName("user") || scanner.isName("role")) {
    scanner.next();
    // The first pass read the same tokens, so the name is there and known.
    DOVREL_ASSERT_TEXT(scanner.kind() == TOKEN_NAME, "scan->lex == lexName");
    const std::string name(scanner.name());
    auto found = roles_.find(name);
    DOVREL_ASSERT_TEXT(found != roles_.end(), "roles.count(roleName) > 0");
    found->second->readBody(scanner, *this);
    DOVREL_ASSERT_TEXT(found->second->getName() == name, "roles[roleName]->getName() == roleName");
  }
  while (scanner.isName("table")) {
    std::shared_ptr<TableSecurity> security(new TableSecurity(scanner, *this));
    const std::string& tableName = security->tableName();
    // An entry for a table that no longer exists is dropped; the next save forgets it.
    if (!tables_.hasTable(tableName)) continue;
    const std::shared_ptr<Table> table = tables_.getTable(tableName);
    if (table->getSecurity() != nullptr) {
      throw SemanticError(std::string("повторное объявление имени таблицы "_cp866) + tableName);
    }
    table->setSecurity(std::move(security));
  }
  tables_.checkSecurity();
  scanner.expect(TOKEN_RBRACE);
}

void Security::save() {
  TextBuffer text;
  write(text);
  if (ReliableFileResult result = file_.save(text.view())) {
    throw DiskOrMemoryError(file_.failureText(result));
  }
}

void Security::write(TextBuffer& out) const {
  DOVREL_ASSERT_TEXT(out.length() == 0, "answer.length() == 0");
  out.append(std::string_view("security {\r\n"));
  for (const auto& entry : roles_) entry.second->writeDefinition(INDENT, out);
  for (const auto& entry : tables_.tables()) {
    const std::shared_ptr<TableSecurity>& security = entry.second->getSecurity();
    DOVREL_ASSERT_TEXT(security != nullptr, "table->getSecurity() != NULL");
    security->write(INDENT, out);
  }
  out.append(std::string_view("}\r\n"));
}

void Security::listUsers(TextBuffer& out) const {
  out.append(std::string_view("{\r\n"));
  for (const auto& entry : roles_) entry.second->writeListing(INDENT, out);
  out.append(std::string_view("}\r\n"));
}

std::shared_ptr<Role> Security::findPrincipal(std::string_view name) const {
  auto found = roles_.find(name);
  return found != roles_.end() ? found->second : nullptr;
}

std::shared_ptr<Role> Security::getPrincipal(std::string_view name) const {
  std::shared_ptr<Role> principal = findPrincipal(name);
  if (principal == nullptr) {
    throw SemanticError(nameMessage(name, " не принадлежит ни роли, ни пользователю"_cp866));
  }
  return principal;
}

std::shared_ptr<User> Security::getUser(std::string_view name) const {
  std::shared_ptr<User> user = std::dynamic_pointer_cast<User>(getPrincipal(name));
  if (user == nullptr) {
    throw SemanticError(nameMessage(name, " принадлежит роли, а не пользователю"_cp866));
  }
  return user;
}

std::shared_ptr<Role> Security::getRole(std::string_view name) const {
  std::shared_ptr<Role> role = getPrincipal(name);
  if (!role->isRole()) {
    throw SemanticError(nameMessage(name, " принадлежит пользователю, а не роли"_cp866));
  }
  if (role == public_) throw SemanticError("имя public принадлежит не роли"_cp866);
  return role;
}

void Security::addPrincipal(std::shared_ptr<Role> principal) {
  DOVREL_ASSERT(principal != nullptr);
  if (roles_.contains(principal->getName())) {
    throw SemanticError(std::string("пользователь/роль "_cp866) + principal->getName() +
                        std::string(" уже существует"_cp866));
  }
  principal->grant(public_);
  std::string name = principal->getName();
  roles_.emplace(std::move(name), std::move(principal));
}

void Security::dropUser(const std::shared_ptr<User>& user, const std::shared_ptr<User>& replaceBy) {
  DOVREL_ASSERT(user != nullptr && replaceBy != nullptr);
  if (user == replaceBy) throw SemanticError("пользователь не может удалить себя"_cp866);
  for (const auto& entry : tables_.tables()) {
    const std::shared_ptr<TableSecurity>& security = entry.second->getSecurity();
    if (security != nullptr) security->replaceUser(*user, replaceBy);
  }
  roles_.erase(user->getName());
}

void Security::dropRole(const std::shared_ptr<Role>& role) {
  DOVREL_ASSERT(role != nullptr && role->isRole() && role != public_);
  for (const auto& entry : roles_) entry.second->revoke(*role);
  for (const auto& entry : tables_.tables()) {
    const std::shared_ptr<TableSecurity>& security = entry.second->getSecurity();
    if (security != nullptr) security->removePrincipal(*role);
  }
  roles_.erase(role->getName());
}

void Security::renamePrincipal(const std::shared_ptr<Role>& principal, const std::string& newName) {
  DOVREL_ASSERT(principal != nullptr);
  if (principal == public_) throw SemanticError("нельзя переименовать public"_cp866);
  if (roles_.contains(newName)) {
    throw SemanticError(nameMessage(newName, " уже занято пользователем/ролью"_cp866));
  }
  auto node = roles_.extract(principal->getName());
  DOVREL_ASSERT_TEXT(!node.empty() && node.mapped() == principal, "roles.count(oldName) > 0");
  principal->setName(newName);
  node.key() = newName;
  roles_.insert(std::move(node));
}

void Security::grantRoles(const std::vector<std::shared_ptr<Role>>& roles,
                          const std::vector<std::shared_ptr<Role>>& members) {
  for (const auto& member : members) {
    for (const auto& role : roles) member->grant(role);
  }
}

void Security::revokeRoles(const std::vector<std::shared_ptr<Role>>& roles,
                           const std::vector<std::shared_ptr<Role>>& members) {
  for (const auto& member : members) {
    for (const auto& role : roles) member->revoke(*role);
  }
}

void Security::grantPrivileges(TableSecurity& security, PrivilegeSet privileges,
                               const std::vector<std::shared_ptr<Role>>& members) {
  for (const auto& member : members) security.grant(member, privileges);
}

void Security::revokePrivileges(TableSecurity& security, PrivilegeSet privileges,
                                const std::vector<std::shared_ptr<Role>>& members) {
  for (const auto& member : members) security.revoke(*member, privileges);
}

bool Security::mayCommit(const User& user) const {
  if (user.kind() == UserKind::ADMIN) return true;
  for (const auto& entry : tables_.tables()) {
    const std::shared_ptr<TableSecurity>& security = entry.second->getSecurity();
    if (security == nullptr) continue;
    if (security->allows(TablePrivilege::INSERT, user) ||
        security->allows(TablePrivilege::UPDATE, user)) {
      return true;
    }
  }
  return false;
}

}  // namespace dovrel
