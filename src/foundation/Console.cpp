// The server's console: every message goes through consolePrint, which converts code
// page 866 to UTF-8 and writes it whole under one mutex. Any thread may print.
#include "foundation/Console.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "foundation/Cp866.h"

namespace dovrel {

namespace {

struct ConsoleState {
  std::mutex mutex;
  std::function<void(std::string_view)> sink;
};

ConsoleState& state() {
  static ConsoleState console;
  return console;
}

}  // namespace

void consolePrint(std::string_view cp866Message) {
  ConsoleState& console = state();
  std::lock_guard<std::mutex> lock(console.mutex);
  // The sink runs under the mutex so captured messages keep their order; a sink must not
  // print to the console itself.
  if (console.sink) {
    console.sink(cp866Message);
    return;
  }
  std::string text = cp866ToUtf8(cp866Message);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void setConsoleSink(std::function<void(std::string_view)> sink) {
  ConsoleState& console = state();
  std::lock_guard<std::mutex> lock(console.mutex);
  console.sink = std::move(sink);
}

}  // namespace dovrel
