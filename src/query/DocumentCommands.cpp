// The document commands. Not run by this server yet: each refuses. Query thread only.
#include "query/DocumentCommands.h"

namespace dovrel::query {

void runAdd(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runDelete(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runGetDocument(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

}  // namespace dovrel::query
