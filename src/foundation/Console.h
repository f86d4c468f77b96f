// The one way to print to the server's console. Messages are code page 866 bytes; the
// console speaks UTF-8, so each byte is converted on the way (client bytes inside a
// message show as code page 866 would show them). Thread-safe: one message is written
// whole, never interleaved with another thread's.
#pragma once

#include <functional>
#include <string_view>

namespace dovrel {

// Writes the message (code page 866) to standard output as UTF-8 and flushes it. No line
// feed is added.
void consolePrint(std::string_view cp866Message);

// Tests may capture console output: while a sink is installed, messages go to it (still
// as code page 866 bytes) instead of standard output. Pass an empty function to restore.
void setConsoleSink(std::function<void(std::string_view)> sink);

}  // namespace dovrel
