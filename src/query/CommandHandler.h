// The shape of a command handler. The dispatcher calls one with the parser (and through it
// the scanner, the table set and the security store), the logged-in user and the empty
// answer buffer, the scanner standing where the handler's declaration says. A handler
// asks the privilege gate (PrivilegeGate.h) for its rights, writes its answer through the
// answer writer (Answer.h), or refuses by throwing. Query thread only.
#pragma once

#include <memory>

namespace dovrel {
class TextBuffer;
class User;
}  // namespace dovrel

namespace dovrel::query {

class Parser;

using CommandHandler = void (*)(Parser& parser, const std::shared_ptr<User>& user,
                                TextBuffer& answer);

// The refusal of a command that this server does not run yet: SemanticError
// "команда не поддерживается".
[[noreturn]] void refuseUnsupported();

}  // namespace dovrel::query
