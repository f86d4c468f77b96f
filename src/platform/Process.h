// Process-wide services: ending the process at once, ignoring SIGPIPE, and the program's
// base directory. Any thread may call them; ignoreSigpipe belongs at start-up.
#pragma once

#include <string>

namespace dovrel::platform {

// Flushes standard output, then ends the process with `status` at once: no destructors,
// no atexit handlers, other threads stop where they are.
[[noreturn]] void exitProcess(int status);

// Makes a write to a socket whose peer has gone return EPIPE instead of killing the
// process. Call once at start-up, before other threads start.
void ignoreSigpipe();

// The program's base directory: `argv0` up to and including its last '/', or "" when it
// has none (then the current directory is the base). nullptr counts as "".
std::string baseDirectory(const char* argv0);

}  // namespace dovrel::platform
