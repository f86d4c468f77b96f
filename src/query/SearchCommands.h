// The commands that read the indexes: select, the index form of get, and optimize. Query
// thread only; see CommandHandler.h for the calling convention.
#pragma once

#include "query/CommandHandler.h"

namespace dovrel::query {

// select [only updated | including updated] from TABLE where ... ;   (scanner on "select")
void runSelect(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// index [mode] TABLE.MEMBER INDEX (length | from ...) ;   (on "index", after "get")
void runGetIndex(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// optimize index TABLE.MEMBER INDEX ;   (on "optimize")
void runOptimize(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);

}  // namespace dovrel::query
