// The security commands. Not run by this server yet: each refuses. Query thread only.
#include "query/SecurityCommands.h"

namespace dovrel::query {

void runAlterTable(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runAlterUser(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runAlterRole(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runCreateUser(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runCreateRole(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runDropUser(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runDropRole(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runGrant(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runRevoke(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runGetUsers(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

}  // namespace dovrel::query
