// TableSecurity: the privilege checks and the table entry text. Called by the query thread
// and by the security store while it loads.
#include "principals/TableSecurity.h"

#include <algorithm>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "principals/PrincipalLookup.h"
#include "principals/User.h"

namespace dovrel {

TableSecurity::TableSecurity(std::string tableName, std::shared_ptr<User> owner)
    : tableName_(std::move(tableName)) {
  setOwner(std::move(owner));
}

TableSecurity::TableSecurity(Scanner& scanner, const PrincipalLookup& principals) {
  scanner.expectKeyword("table");
  tableName_ = scanner.expectName("таблицы"_cp866);
  scanner.expectKeyword("owner");
  std::string ownerName = scanner.expectName("владельца"_cp866);
  std::shared_ptr<Role> principal = principals.findPrincipal(ownerName);
  if (principal == nullptr) {
    throw SemanticError(std::string("имя владельца "_cp866) + ownerName +
                        std::string(" таблицы "_cp866) + tableName_ +
                        std::string(" не найдено"_cp866));
  }
  owner_ = std::dynamic_pointer_cast<User>(principal);
  if (owner_ == nullptr) {
    throw SemanticError(std::string("владелец "_cp866) + ownerName +
                        std::string(" таблицы "_cp866) + tableName_ +
                        std::string(" не является пользователем"_cp866));
  }
  scanner.expect(TOKEN_LBRACE);
  while (scanner.kind() != TOKEN_RBRACE) {
    std::string name = scanner.expectName("роли/пользователя"_cp866);
    std::shared_ptr<Role> grantee = principals.findPrincipal(name);
    if (grantee == nullptr) {
      throw SemanticError(std::string("пользователь/роль "_cp866) + name +
                          std::string(" таблицы "_cp866) + tableName_ +
                          std::string(" не найдена"_cp866));
    }
    scanner.expect(TOKEN_COLON);
    PrivilegeSet privileges = readPrivilegeList(scanner);
    grant(std::move(grantee), privileges);
    scanner.expect(TOKEN_SEMICOLON);
  }
  scanner.expect(TOKEN_RBRACE);
}

TableSecurity::~TableSecurity() = default;

void TableSecurity::write(std::string_view indent, TextBuffer& out) const {
  out.append(indent);
  out.append(std::string_view("table "));
  out.append(tableName_);
  out.append(std::string_view(" owner "));
  out.append(owner_->getName());
  out.append(std::string_view(" {\r\n"));
  for (const auto& [principal, privileges] : privileges_) {
    if (privileges.empty()) continue;
    out.append(indent);
    out.append(std::string_view("   "));
    out.append(principal->getName());
    out.append(std::string_view(": "));
    bool first = true;
    for (unsigned i = 0; i < TablePrivilege::COUNT; ++i) {
      const TablePrivilege& p = TablePrivilege::at(i);
      if (!privileges.contains(p)) continue;
      if (!first) out.append(std::string_view(", "));
      out.append(p.name());
      first = false;
    }
    out.append(std::string_view(";\r\n"));
  }
  out.append(indent);
  out.append(std::string_view("}\r\n"));
}

bool TableSecurity::allows(const TablePrivilege& privilege, const User& user) const {
  if (user.kind() == UserKind::ADMIN) return true;
  if (owner_.get() == &user) return true;
  // One walk over the user's roles, each looked up among the grants, instead of one walk
  // per grant.
  const Role* only = nullptr;
  int holders = 0;
  for (const auto& [principal, privileges] : privileges_) {
    if (privileges.contains(privilege)) {
      only = principal.get();
      ++holders;
    }
  }
  if (holders == 0) return false;
  if (holders == 1) return user.inheritsFrom(*only);
  return user.inheritsFromAny(
      [this, &privilege](const Role& r) { return grantedTo(r).contains(privilege); });
}

bool TableSecurity::canModify(const User& user) const {
  return owner_.get() == &user || user.kind() == UserKind::ADMIN;
}

void TableSecurity::setOwner(std::shared_ptr<User> newOwner) {
  DOVREL_ASSERT_TEXT(newOwner != nullptr, "newOwner != NULL");
  owner_ = std::move(newOwner);
}

void TableSecurity::replaceUser(const User& user, std::shared_ptr<User> replaceBy) {
  DOVREL_ASSERT_TEXT(&user != replaceBy.get(), "user != replaceBy");
  if (owner_.get() == &user) setOwner(std::move(replaceBy));
  removePrincipal(user);
}

void TableSecurity::removePrincipal(const Role& principal) {
  auto it = find(principal);
  if (it != privileges_.end()) privileges_.erase(it);
}

void TableSecurity::grant(std::shared_ptr<Role> principal, PrivilegeSet privileges) {
  DOVREL_ASSERT(principal != nullptr);
  auto it = find(*principal);
  if (it != privileges_.end()) {
    it->second.addAll(privileges);
  } else {
    privileges_.emplace_back(std::move(principal), privileges);
  }
}

void TableSecurity::revoke(const Role& principal, PrivilegeSet privileges) {
  auto it = find(principal);
  if (it != privileges_.end()) it->second.removeAll(privileges);
}

PrivilegeSet TableSecurity::grantedTo(const Role& principal) const {
  auto it = find(principal);
  return it != privileges_.end() ? it->second : PrivilegeSet();
}

std::vector<TableSecurity::Entry>::iterator TableSecurity::find(const Role& principal) {
  return std::find_if(privileges_.begin(), privileges_.end(),
                      [&principal](const Entry& e) { return e.first.get() == &principal; });
}

std::vector<TableSecurity::Entry>::const_iterator TableSecurity::find(const Role& principal) const {
  return std::find_if(privileges_.begin(), privileges_.end(),
                      [&principal](const Entry& e) { return e.first.get() == &principal; });
}

}  // namespace dovrel
