// Operating-system services that only the server's connection threads and dovrel-client
// need: ending both directions of a socket, and the terminal (is a stream a terminal,
// reading a password without echo). Any thread may call them.
#pragma once

#include <string>
#include <string_view>

#include "platform/Env.h"
#include "platform/Socket.h"

namespace dovrel::platform {

// Ends both directions of a connected socket without closing it: a recv blocked on it in
// another thread returns 0 at once, and the peer sees the end of the stream. The
// descriptor stays valid (and is not reused) until its owner closes it.
Status shutdownSocket(Socket& socket);

enum class StandardStream { INPUT, OUTPUT, ERROR };
// Whether the standard stream is connected to a terminal.
bool isTerminal(StandardStream stream);

// Shows `prompt` on the controlling terminal and reads one line there with echo turned off
// (restored afterwards). False when the process has no terminal. The line feed is not part
// of the password.
bool readPasswordFromTerminal(std::string_view prompt, std::string* password);

}  // namespace dovrel::platform
