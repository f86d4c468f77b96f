// Command accumulation. One thread at a time.
#include "client/CommandInput.h"

namespace dovrel::client {

namespace {

bool isBlank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

bool CommandAccumulator::addLine(std::string_view line, std::string* command) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (isBlank(line)) return finish(command);
  if (!pending_.empty()) pending_ += "\r\n";
  pending_ += line;
  return false;
}

bool CommandAccumulator::finish(std::string* command) {
  if (pending_.empty()) return false;
  *command = std::move(pending_);
  pending_.clear();
  return true;
}

std::vector<ScriptCommand> splitScript(std::string_view script) {
  std::vector<ScriptCommand> commands;
  CommandAccumulator accumulator;
  std::string command;
  uint32_t line = 0;
  uint32_t firstLine = 0;
  while (!script.empty()) {
    const std::size_t feed = script.find('\n');
    const std::string_view text = script.substr(0, feed);
    ++line;
    if (!accumulator.pending()) firstLine = line;
    if (accumulator.addLine(text, &command)) commands.push_back({std::move(command), firstLine});
    script.remove_prefix(feed == std::string_view::npos ? script.size() : feed + 1);
  }
  if (accumulator.finish(&command)) commands.push_back({std::move(command), firstLine});
  return commands;
}

std::vector<std::string> splitCommands(std::string_view script) {
  std::vector<std::string> commands;
  for (ScriptCommand& command : splitScript(script)) commands.push_back(std::move(command.text));
  return commands;
}

}  // namespace dovrel::client
