// TableSecurity: the security record of one table — its owner and the privileges granted to
// principals — with the checks every command makes. Held by its table; read and written by
// the security store as part of the security file. Used only by the thread that runs
// queries (or loads the security file).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Poolable.h"
#include "principals/TablePrivilege.h"

namespace dovrel {

class PrincipalLookup;
class Role;
class Scanner;
class TextBuffer;
class User;

class TableSecurity : public Object {
 public:
  // The record of a new table: the owner (the creating user, never empty) and no grants.
  TableSecurity(std::string tableName, std::shared_ptr<User> owner);
  // Reads one table entry of the security file, with the scanner on the word "table":
  //   table NAME owner NAME { {NAME : privilege list ;} }
  // Principals are resolved through `principals`; an unknown name, or an owner that is not
  // a user, fails with SemanticError. A principal named twice gets the union.
  TableSecurity(Scanner& scanner, const PrincipalLookup& principals);
  ~TableSecurity() override;
  TableSecurity(const TableSecurity&) = delete;
  TableSecurity& operator=(const TableSecurity&) = delete;

  // The table entry: indent "table NAME owner NAME {", one line per principal with a
  // non-empty set (indent plus three spaces, "NAME: p1, p2;"), indent "}". CR LF line ends.
  virtual void write(std::string_view indent, TextBuffer& out) const;

  // True for an admin, for the owner, and for a user who is, or through his roles
  // (public included) inherits, a principal that holds the privilege.
  bool allows(const TablePrivilege& privilege, const User& user) const;
  // True for the owner and for an admin: who may grant, revoke, change the owner, list the
  // privileges and drop the table.
  bool canModify(const User& user) const;

  const std::string& tableName() const { return tableName_; }
  const std::shared_ptr<User>& owner() const { return owner_; }
  // `newOwner` must not be empty (asserted).
  void setOwner(std::shared_ptr<User> newOwner);

  // For a dropped user: his tables pass to `replaceBy` (who must be another user, asserted)
  // and his own grants vanish; `replaceBy` gains none of them.
  void replaceUser(const User& user, std::shared_ptr<User> replaceBy);
  // Erases every grant to the principal (used when a role is dropped).
  void removePrincipal(const Role& principal);
  // Adds the privileges to the principal's entry, creating it when needed.
  void grant(std::shared_ptr<Role> principal, PrivilegeSet privileges);
  // Removes the privileges from the principal's entry; an entry left empty is kept but no
  // longer written.
  void revoke(const Role& principal, PrivilegeSet privileges);
  // The privileges granted to the principal itself (not through roles).
  PrivilegeSet grantedTo(const Role& principal) const;

 private:
  using Entry = std::pair<std::shared_ptr<Role>, PrivilegeSet>;
  std::vector<Entry>::iterator find(const Role& principal);
  std::vector<Entry>::const_iterator find(const Role& principal) const;

  std::string tableName_;
  std::shared_ptr<User> owner_;
  // Keyed by the principal object, so renaming a principal needs no change here. Kept in
  // the order of the first grant, so a file read and written again keeps its line order.
  std::vector<Entry> privileges_;
};

}  // namespace dovrel
