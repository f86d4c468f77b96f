// The security commands: users, roles, table owners, grants and revokes, and the user
// listing. The dispatchers of alter, create and drop have consumed their keyword and call
// these with the scanner on the word that chose them. Query thread only; see
// CommandHandler.h for the calling convention.
#pragma once

#include "query/CommandHandler.h"

namespace dovrel::query {

// table NAME owner NAME ;   (after "alter")
void runAlterTable(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// user NAME (rename to NAME | [alias ...] [kind ...] [account ...] [identified by ...]) ;
void runAlterUser(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// role NAME (rename to NAME | alias STRING) ;
void runAlterRole(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// user NAME alias STRING kind KIND account LOCK identified by STRING ;   (after "create")
void runCreateUser(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// role NAME alias STRING ;   (after "create")
void runCreateRole(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// user NAME ;   (after "drop")
void runDropUser(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// role NAME ;   (after "drop")
void runDropRole(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// grant NAMES [on TABLE] to NAMES ;   (on "grant")
void runGrant(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// revoke NAMES [on TABLE] from NAMES ;   (on "revoke")
void runRevoke(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// users ;   (on "users", after "get")
void runGetUsers(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);

}  // namespace dovrel::query
