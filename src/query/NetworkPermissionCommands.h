// The commands that set and get the network permissions. Query thread only; see
// CommandHandler.h for the calling convention.
#pragma once

#include "query/CommandHandler.h"

namespace dovrel::query {

// set network permissions STRING ;   (on "set")
void runSetNetworkPermissions(Parser& parser, const std::shared_ptr<User>& user,
                              TextBuffer& answer);
// network permissions ;   (on "network", after "get")
void runGetNetworkPermissions(Parser& parser, const std::shared_ptr<User>& user,
                              TextBuffer& answer);

}  // namespace dovrel::query
