// The privilege gate. Query thread only.
#include "query/PrivilegeGate.h"

#include <string>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "principals/TablePrivilege.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"
#include "security/Security.h"
#include "tables/Table.h"

namespace dovrel::query {

void refuseRights(std::string_view action) {
  std::string message("у пользователя недостаточно прав для "_cp866);
  message += action;
  throw SemanticError(std::move(message));
}

void requireAdmin(const User& user, std::string_view action) {
  if (user.kind() != UserKind::ADMIN) refuseRights(action);
}

void requireCreator(const User& user, std::string_view action) {
  if (user.kind() != UserKind::CREATOR && user.kind() != UserKind::ADMIN) refuseRights(action);
}

void requireSelfOrAdmin(const User& user, const User& target, std::string_view action) {
  if (&target != &user && user.kind() != UserKind::ADMIN) refuseRights(action);
}

void requirePrivilege(const TableSecurity& security, const TablePrivilege& privilege,
                      const User& user, std::string_view action) {
  if (!security.allows(privilege, user)) refuseRights(action);
}

void requireModify(const TableSecurity& security, const User& user, std::string_view action) {
  if (!security.canModify(user)) refuseRights(action);
}

void requireCommit(const Security& security, const User& user, std::string_view action) {
  if (!security.mayCommit(user)) refuseRights(action);
}

void requireRead(Table& table, uint32_t number, const TablePrivilege& privilege, const User& user,
                 std::string_view liveAction, std::string_view deletedAction) {
  const TableSecurity& security = *table.getSecurity();
  if (table.isDocumentDeleted(number)) {
    if (!security.allows(privilege, user) || !security.allows(TablePrivilege::HISTORY, user)) {
      refuseRights(deletedAction);
    }
  } else if (!security.allows(privilege, user)) {
    refuseRights(liveAction);
  }
}

void requireSearch(const Table& table, const TablePrivilege& privilege, index::SearchMode mode,
                   const User& user, std::string_view action, std::string_view historyAction) {
  const TableSecurity& security = *table.getSecurity();
  if (!security.allows(privilege, user)) refuseRights(action);
  if (mode != index::SearchMode::PRESENT && !security.allows(TablePrivilege::HISTORY, user)) {
    refuseRights(historyAction);
  }
}

}  // namespace dovrel::query
