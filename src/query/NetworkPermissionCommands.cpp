// The network permission commands. Not run by this server yet: each refuses. Query thread
// only.
#include "query/NetworkPermissionCommands.h"

namespace dovrel::query {

void runSetNetworkPermissions(Parser&, const std::shared_ptr<User>&, TextBuffer&) {
  refuseUnsupported();
}

void runGetNetworkPermissions(Parser&, const std::shared_ptr<User>&, TextBuffer&) {
  refuseUnsupported();
}

}  // namespace dovrel::query
