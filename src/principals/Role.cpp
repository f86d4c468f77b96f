// Role: membership rules, the role texts and their readers. Called by the query thread and
// by the security store while it loads.
#include "principals/Role.h"

#include <algorithm>
#include <unordered_set>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "principals/PrincipalLookup.h"

namespace dovrel {

std::shared_ptr<Role> Role::create() { return std::shared_ptr<Role>(new Role()); }

Role::~Role() = default;

std::shared_ptr<Role> Role::readDefinition(Scanner& scanner) {
  std::shared_ptr<Role> role = create();
  scanner.expectKeyword("role");
  role->readNameAndAlias(scanner);
  scanner.expect(TOKEN_SEMICOLON);
  return role;
}

void Role::writeMembership(std::string_view indent, TextBuffer& out) const {
  out.append(indent);
  out.append(name_);
  out.append(std::string_view(";\r\n"));
}

void Role::readBody(Scanner& scanner, const PrincipalLookup& principals) {
  readNameAndAlias(scanner);
  scanner.expect(TOKEN_LBRACE);
  readRoleList(scanner, principals);
  scanner.expect(TOKEN_RBRACE);
}

void Role::writeDefinition(std::string_view indent, TextBuffer& out) const {
  out.append(indent);
  out.append(std::string_view("role "));
  out.append(name_);
  out.append(std::string_view(" alias "));
  out.appendCounted(std::string_view(alias_));
  out.append(std::string_view(" {\r\n"));
  writeMembershipBlock(indent, out);
}

void Role::writeListing(std::string_view indent, TextBuffer& out) const {
  writeDefinition(indent, out);
}

void Role::readAlteration(Scanner& scanner) {
  scanner.expectKeyword("alias");
  alias_ = scanner.expectString().toString();
  scanner.expect(TOKEN_SEMICOLON);
}

void Role::grant(std::shared_ptr<Role> role) {
  DOVREL_ASSERT(role != nullptr);
  if (!role->isRole()) {
    throw SemanticError(std::string("нельзя grant "_cp866) + role->getName() + " to " + name_ +
                        std::string(" (пользователь?)"_cp866));
  }
  if (role->inheritsFrom(*this)) {
    throw SemanticError(std::string("получится циклическая зависимость "_cp866) + role->getName() +
                        std::string(" и "_cp866) + name_);
  }
  if (std::find(memberOf_.begin(), memberOf_.end(), role) == memberOf_.end()) {
    memberOf_.push_back(std::move(role));
  }
}

void Role::revoke(const Role& role) {
  auto it = std::find_if(memberOf_.begin(), memberOf_.end(),
                         [&role](const std::shared_ptr<Role>& m) { return m.get() == &role; });
  if (it != memberOf_.end()) memberOf_.erase(it);
}

bool Role::inheritsFrom(const Role& role) const {
  if (this == &role) return true;
  if (memberOf_.empty()) return false;
  return inheritsFromAny([&role](const Role& r) { return &r == &role; });
}

bool Role::inheritsFromAny(const std::function<bool(const Role&)>& test) const {
  // Reachability over the membership graph. A walk with a visited set gives the same answer
  // as following every path, but stays linear where roles share ancestors (every principal
  // shares "public"), and it needs no recursion however long a chain of roles is.
  std::vector<const Role*> pending{this};
  std::unordered_set<const Role*> visited;
  while (!pending.empty()) {
    const Role* current = pending.back();
    pending.pop_back();
    if (!visited.insert(current).second) continue;
    if (test(*current)) return true;
    for (const auto& m : current->memberOf_) {
      if (!visited.contains(m.get())) pending.push_back(m.get());
    }
  }
  return false;
}

void Role::readNameAndAlias(Scanner& scanner) {
  name_ = scanner.expectName("пользователя/роли"_cp866);
  scanner.expectKeyword("alias");
  alias_ = scanner.expectString().toString();
}

void Role::readRoleList(Scanner& scanner, const PrincipalLookup& principals) {
  while (scanner.kind() == TOKEN_NAME) {
    std::string name = scanner.expectName("роли"_cp866);
    std::shared_ptr<Role> role = principals.findPrincipal(name);
    if (role == nullptr) {
      throw SemanticError(std::string("не найдено определение роли "_cp866) + name);
    }
    grant(std::move(role));
    scanner.expect(TOKEN_SEMICOLON);
  }
}

void Role::writeMembershipBlock(std::string_view indent, TextBuffer& out) const {
  std::string inner(indent);
  inner += "   ";
  for (const auto& role : memberOf_) role->writeMembership(inner, out);
  out.append(indent);
  out.append(std::string_view("}\r\n"));
}

}  // namespace dovrel
