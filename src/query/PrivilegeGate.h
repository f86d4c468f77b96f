// The privilege gate: every command asks here whether the acting user may do what it is
// about to do, at the point where its rules place the check (some before the rest of the
// command is read, some after). A refusal is SemanticError "у пользователя недостаточно
// прав для " + `action`, where `action` is the command's own words, code page 866 bytes.
// Query thread only.
#pragma once

#include <cstdint>
#include <string_view>

#include "index/MergeIndexTypes.h"

namespace dovrel {
class Security;
class Table;
class TablePrivilege;
class TableSecurity;
class User;
}  // namespace dovrel

namespace dovrel::query {

// The refusal itself, for a check that the functions below do not cover.
[[noreturn]] void refuseRights(std::string_view action);

// An administrator.
void requireAdmin(const User& user, std::string_view action);
// A creator or an administrator.
void requireCreator(const User& user, std::string_view action);
// `target` itself, or an administrator.
void requireSelfOrAdmin(const User& user, const User& target, std::string_view action);
// The table privilege `privilege` on `security`'s table.
void requirePrivilege(const TableSecurity& security, const TablePrivilege& privilege,
                      const User& user, std::string_view action);
// The right to change `security`'s table: its owner or an administrator.
void requireModify(const TableSecurity& security, const User& user, std::string_view action);
// The right to commit the server's state.
void requireCommit(const Security& security, const User& user, std::string_view action);
// A read of document `number` of `table`: `privilege` for a live document (`liveAction`),
// `privilege` and history for a deleted one (`deletedAction`). The number must exist: the
// deleted test refuses it otherwise.
void requireRead(Table& table, uint32_t number, const TablePrivilege& privilege, const User& user,
                 std::string_view liveAction, std::string_view deletedAction);
// A search of `table` in `mode`: `privilege` (`action`), and history as well when the mode
// reaches removed documents (`historyAction`).
void requireSearch(const Table& table, const TablePrivilege& privilege, index::SearchMode mode,
                   const User& user, std::string_view action, std::string_view historyAction);

}  // namespace dovrel::query
