// The table commands and commit: create, drop and describe tables, and make every change
// since the last commit durable. Query thread only; see CommandHandler.h for the calling
// convention.
#pragma once

#include "query/CommandHandler.h"

namespace dovrel::query {

// table NAME alias STRING { ... } ;   (on "table", after "create")
void runCreateTable(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// table NAME ;   (on "table", after "drop")
void runDropTable(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// table (names [aliases] | structures | NAME (structure | length | privileges)) ;
// (on "table", after "get")
void runGetTable(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// commit ;   (on "commit"). Only a user who may commit (an admin, or one whom some table
// allows insert or update) passes, checked before anything is read: SemanticError
// "у пользователя недостаточно прав для фиксации состояния сервера". Then every table
// with open files is committed and the answer is "OK" CR LF.
void runCommit(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);

}  // namespace dovrel::query
