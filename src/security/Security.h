// Security: the security store. It owns every principal of the server in one map by name,
// loads them and the tables' security records from "security.txt" at start-up, writes the
// whole file back through a ReliableFile after each change, and offers the look-ups of the
// login step and the structural changes of the security commands with their rules. Owned
// by the query parser; used only by the thread that runs queries (no locking).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Poolable.h"
#include "foundation/TextView.h"
#include "principals/PrincipalLookup.h"
#include "principals/TablePrivilege.h"
#include "storage/ReliableFile.h"

namespace dovrel {

class Public;
class Role;
class TableSecurity;
class TableSet;
class TextBuffer;
class User;

class Security : public Object, public PrincipalLookup {
 public:
  // Name -> principal (User, Role or Public), ordered bytewise by name.
  using PrincipalMap = std::map<std::string, std::shared_ptr<Role>, std::less<>>;

  // Loads the security file at `path` (with the ".bak" recovery of ReliableFile) and gives
  // every table of `tables` its security record. The tables must be loaded and have no
  // record yet; `tables` must outlive the store. Throws DiskOrMemoryError when the file
  // cannot be read, SemanticError for a broken rule (a name declared twice, an unknown
  // role, a table without a record, ...) and the scanner's TextError for a syntax error;
  // the server then does not start.
  Security(std::string path, TableSet& tables);
  ~Security() override;
  Security(const Security&) = delete;
  Security& operator=(const Security&) = delete;

  // Writes the whole file text and stores it through the ReliableFile: a failed save
  // (DiskOrMemoryError) leaves the previous content readable.
  void save();
  // Appends the file text: "security {", every principal's definition in name order,
  // every table's record in the table set's order, "}". `out` must be empty (asserted).
  void write(TextBuffer& out) const;
  // Appends "{" CR LF, every principal's listing (no password parts) in name order, "}"
  // CR LF: the body of the answer to get users.
  void listUsers(TextBuffer& out) const;

  // The principal of that name; SemanticError "имя NAME не принадлежит ни роли, ни
  // пользователю" when there is none.
  std::shared_ptr<Role> getPrincipal(std::string_view name) const;
  // As getPrincipal, and SemanticError "имя NAME принадлежит роли, а не пользователю" for
  // a role or public.
  std::shared_ptr<User> getUser(std::string_view name) const;
  // As getPrincipal, and SemanticError "имя NAME принадлежит пользователю, а не роли" for a
  // user, "имя public принадлежит не роли" for public.
  std::shared_ptr<Role> getRole(std::string_view name) const;
  // PrincipalLookup: the principal or an empty handle, never throws.
  std::shared_ptr<Role> findPrincipal(std::string_view name) const override;

  // Enters a new principal and makes it a member of public. SemanticError
  // "пользователь/роль NAME уже существует" when the name is taken.
  void addPrincipal(std::shared_ptr<Role> principal);
  // Drops a user; his tables pass to `replaceBy` (the acting user) and his own grants
  // vanish. SemanticError "пользователь не может удалить себя" when the two are the same.
  void dropUser(const std::shared_ptr<User>& user, const std::shared_ptr<User>& replaceBy);
  // Drops a role (neither a user nor public: asserted; callers take it from getRole). It
  // leaves every membership and every table's grants; members keep what they hold through
  // other roles.
  void dropRole(const std::shared_ptr<Role>& role);
  // Gives a principal a new name and re-keys the map. SemanticError "нельзя переименовать
  // public" for public, "имя NEW уже занято пользователем/ролью" when NEW is in the map
  // (the principal's own name included).
  void renamePrincipal(const std::shared_ptr<Role>& principal, const std::string& newName);

  // For each member in order, for each role in order: member.grant(role). The first
  // refusal stops; the grants made before it stay in memory.
  void grantRoles(const std::vector<std::shared_ptr<Role>>& roles,
                  const std::vector<std::shared_ptr<Role>>& members);
  // For each member, for each role: member.revoke(role); absent memberships are ignored.
  void revokeRoles(const std::vector<std::shared_ptr<Role>>& roles,
                   const std::vector<std::shared_ptr<Role>>& members);
  // Adds the privileges to, or removes them from, every member's entry in `security`.
  void grantPrivileges(TableSecurity& security, PrivilegeSet privileges,
                       const std::vector<std::shared_ptr<Role>>& members);
  void revokePrivileges(TableSecurity& security, PrivilegeSet privileges,
                        const std::vector<std::shared_ptr<Role>>& members);

  // Whether the user may commit: an admin, or a user whom some table allows "insert" or
  // "update".
  bool mayCommit(const User& user) const;

  const PrincipalMap& principals() const { return roles_; }
  const std::shared_ptr<Public>& publicRole() const { return public_; }
  const std::string& path() const { return file_.path(); }

 private:
  // The two passes over the file text, each with a scanner of its own: the principals
  // first, empty, so that every role list and table entry of the second pass can name a
  // principal defined anywhere in the file.
  void createPrincipals(TextView text);
  void readBodies(TextView text);

  PrincipalMap roles_;
  std::shared_ptr<Public> public_;
  ReliableFile file_;
  TableSet& tables_;
};

}  // namespace dovrel
