// Role: a named security principal with an alias and the set of roles it has been granted;
// the base of User and Public. Principals are shared through std::shared_ptr by the
// security store, membership sets and table security records. Used only by the thread
// that runs queries (or loads the security file); no locking.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Poolable.h"

namespace dovrel {

class PrincipalLookup;
class Scanner;
class TextBuffer;

class Role : public Object {
 public:
  // An empty role (no name, no alias, no memberships), to be filled by readBody or the
  // definition reader. Roles come from the object pools, hence the factory.
  static std::shared_ptr<Role> create();
  ~Role() override;
  Role(const Role&) = delete;
  Role& operator=(const Role&) = delete;

  // The role definition of the create role command: role NAME alias STRING ;
  // The returned role has no memberships yet (the store adds "public").
  static std::shared_ptr<Role> readDefinition(Scanner& scanner);

  // False only for a User.
  virtual bool isRole() const { return true; }
  // One membership line: indent, the name, ";" CR LF. Public writes nothing.
  virtual void writeMembership(std::string_view indent, TextBuffer& out) const;
  // Reads the body of a security file entry, with the scanner on the principal's name (the
  // store has consumed the keyword): NAME alias STRING { role list }. Roles named in the
  // list are resolved through `principals` and granted to this principal.
  virtual void readBody(Scanner& scanner, const PrincipalLookup& principals);
  // The security file text of the principal, each line opened by `indent`.
  virtual void writeDefinition(std::string_view indent, TextBuffer& out) const;
  // The text of the user listing; for a role the same as writeDefinition.
  virtual void writeListing(std::string_view indent, TextBuffer& out) const;

  const std::string& getName() const { return name_; }
  // Only the security store renames a principal (it re-keys its map at the same time).
  void setName(std::string name) { name_ = std::move(name); }
  const std::string& alias() const { return alias_; }
  void setAlias(std::string alias) { alias_ = std::move(alias); }

  // The role alteration of the alter role command: alias STRING ;
  void readAlteration(Scanner& scanner);

  // Makes this principal a member of `role`. Fails with SemanticError when `role` is a
  // user ("... (пользователь?)") or when `role` already is or inherits from this principal
  // (the cycle message). Granting twice changes nothing. `role` must not be empty.
  void grant(std::shared_ptr<Role> role);
  // Removes `role` from this principal's own memberships; an absent role is no error.
  void revoke(const Role& role);
  // True when this principal is `role` or reaches it through its memberships.
  bool inheritsFrom(const Role& role) const;
  // True when `test` holds for this principal or for a role it reaches through its
  // memberships. Each principal is tested at most once, so one call answers for many roles.
  bool inheritsFromAny(const std::function<bool(const Role&)>& test) const;
  // The roles granted directly, in the order they were granted.
  const std::vector<std::shared_ptr<Role>>& memberOf() const { return memberOf_; }

 protected:
  Role() = default;

  // NAME alias STRING, the common start of every principal text.
  void readNameAndAlias(Scanner& scanner);
  // The names up to the first token that is not a name, each followed by ";", each
  // resolved and granted.
  void readRoleList(Scanner& scanner, const PrincipalLookup& principals);
  // The membership lines and the closing line shared by roles and users.
  void writeMembershipBlock(std::string_view indent, TextBuffer& out) const;

 private:
  std::string name_;
  std::string alias_;
  // Insertion order, so that a file read and written again keeps its line order.
  std::vector<std::shared_ptr<Role>> memberOf_;
};

}  // namespace dovrel
