// Fatal assertions for broken internal invariants. Never for client input: what a client
// can reach must be a refusal instead. Any thread may fail an assertion; it ends the whole
// process at once.
#pragma once

#include <string>

namespace dovrel {

// Prints "Assertion failed: EXPR\nfile FILE line LINE" (no final line feed) to standard
// output, appends the same text to the critical file, and ends the process with exit
// status 3. Nothing is saved and no other thread is told.
[[noreturn]] void assertFailed(const char* file, const char* expression, int line);

// The file that assertion records are appended to: "critical.txt" beside the data
// directory. Until set, "critical.txt" in the current directory. Call at start-up, before
// other threads run.
void setCriticalFilePath(std::string path);
const std::string& criticalFilePath();

}  // namespace dovrel

// Checks an internal invariant in every build type (unlike the standard assert). The
// recorded text is the expression as written, so write it as the message should read.
#define DOVREL_ASSERT(condition) \
  ((condition) ? static_cast<void>(0) : ::dovrel::assertFailed(__FILE__, #condition, __LINE__))

// The same with an explicit expression text, where the code's expression reads differently.
#define DOVREL_ASSERT_TEXT(condition, text) \
  ((condition) ? static_cast<void>(0) : ::dovrel::assertFailed(__FILE__, text, __LINE__))
