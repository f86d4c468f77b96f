// What the interactive client needs from the terminal and the process around it: the
// terminal's height, Ctrl-C as a request to cancel rather than an end, and a pager fed
// through a pipe. Main thread only.
#pragma once

#include <string>
#include <string_view>

namespace dovrel::platform {

// The number of rows of the terminal on standard output; 0 when it is not a terminal or
// its size is unknown (a pseudo-terminal nobody has sized).
int terminalRows();

// Replaces SIGINT's default (ending the process) by a handler that only records it. A
// blocking read of the terminal is then interrupted rather than restarted, so the line
// editor returns and the caller sees takeInterrupt() true. Safe to call twice.
void catchInterrupts();
// True once for each SIGINT received since the last call.
bool takeInterrupt();

// Whether an executable file `name` is found in a directory of $PATH.
bool commandOnPath(std::string_view name);

// Runs `command` with /bin/sh, writes `text` to its standard input and waits for it to end.
// A command that ends before reading everything (the user quit the pager) is no failure.
// False when the command could not be started.
bool pipeToCommand(const std::string& command, std::string_view text);

}  // namespace dovrel::platform
