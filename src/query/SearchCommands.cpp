// The search and index commands. Not run by this server yet: each refuses. Query thread
// only.
#include "query/SearchCommands.h"

namespace dovrel::query {

void runSelect(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runGetIndex(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runOptimize(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

}  // namespace dovrel::query
