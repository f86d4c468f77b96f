// The document commands: add (and replace), delete, and the document forms of get. Query
// thread only; see CommandHandler.h for the calling convention.
#pragma once

#include "query/CommandHandler.h"

namespace dovrel::query {

// add DOCUMENT to table NAME [replacing NUMBER] ; {add ...}   (scanner on "add")
void runAdd(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// delete [if actual] document NUMBER from table NAME ; {document ...}   (on "delete")
void runDelete(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);
// document NUMBER from table NAME [length | meta | only ITEMS] ; {document ...}
// (on "document", after "get")
void runGetDocument(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer);

}  // namespace dovrel::query
