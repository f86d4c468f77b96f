// Cutting typed or scripted text into commands: a command is one or more lines, and an
// empty line (or one of blanks only) ends it. Lines are joined with "\r\n", the line end
// of the system's texts. One thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dovrel::client {

class CommandAccumulator {
 public:
  // Adds one line (without its line feed; a final carriage return is dropped). True, with
  // the finished command in `command`, when the line is empty and lines are pending.
  bool addLine(std::string_view line, std::string* command);
  // At the end of the input: true, with the pending command, when there is one.
  bool finish(std::string* command);
  bool pending() const { return !pending_.empty(); }

 private:
  std::string pending_;
};

// One command of a script and the line of the script it starts on (the first is 1).
struct ScriptCommand {
  std::string text;
  uint32_t firstLine;
};

// Every command of a script, in order.
std::vector<ScriptCommand> splitScript(std::string_view script);
// The same, the commands' texts only.
std::vector<std::string> splitCommands(std::string_view script);

}  // namespace dovrel::client
