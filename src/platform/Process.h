// Process-wide services: ending the process at once, ignoring SIGPIPE, the stop signals,
// and the program's base directory. Any thread may call them; ignoreSigpipe and
// blockStopSignals belong at start-up.
#pragma once

#include <functional>
#include <string>

#include "platform/Env.h"

namespace dovrel::platform {

// Flushes standard output, then ends the process with `status` at once: no destructors,
// no atexit handlers, other threads stop where they are.
[[noreturn]] void exitProcess(int status);

// Makes a write to a socket whose peer has gone return EPIPE instead of killing the
// process. Call once at start-up, before other threads start.
void ignoreSigpipe();

// Blocks SIGTERM and SIGINT in the calling thread. Threads started afterwards inherit the
// mask, so the signals reach only the thread that waits for them: none is ever cut off in
// the middle of a query or a save. Call on the main thread before any other thread starts.
void blockStopSignals();

// Starts a detached thread that waits for SIGTERM or SIGINT (blocked by blockStopSignals)
// and then runs `onStop` on that thread, once. A signal that arrives while onStop runs
// stays pending and changes nothing. The error of the thread's creation on failure.
Status startStopSignalWaiter(std::function<void(int signal)> onStop);

// The program's base directory: `argv0` up to and including its last '/', or "" when it
// has none (then the current directory is the base). nullptr counts as "".
std::string baseDirectory(const char* argv0);

}  // namespace dovrel::platform
