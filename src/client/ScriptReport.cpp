// Script refusals and summaries. One thread at a time.
#include "client/ScriptReport.h"

#include "foundation/Cp866.h"

namespace dovrel::client {

namespace {

constexpr std::string_view ERROR_LINE = "ERROR\r\n";
// The request's lines before the command: "User: " and "Password: ".
constexpr uint32_t LOGIN_LINES = 2;

// The decimal number at the start of `text`, consumed; nothing when there is none.
std::optional<uint32_t> readNumber(std::string_view& text) {
  uint64_t value = 0;
  std::size_t digits = 0;
  while (digits < text.size() && digits < 10 && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
    ++digits;
  }
  if (digits == 0 || value > UINT32_MAX) return std::nullopt;
  text.remove_prefix(digits);
  return static_cast<uint32_t>(value);
}

bool consume(std::string_view& text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

}  // namespace

std::optional<RefusalPosition> refusalPosition(std::string_view answer) {
  if (!consume(answer, ERROR_LINE) || !consume(answer, "Ошибка в строке "_cp866)) {
    return std::nullopt;
  }
  const std::optional<uint32_t> line = readNumber(answer);
  if (!line || !consume(answer, " столбце "_cp866)) return std::nullopt;
  const std::optional<uint32_t> column = readNumber(answer);
  if (!column || !consume(answer, ": ")) return std::nullopt;
  return RefusalPosition{*line, *column, std::string(answer)};
}

uint32_t refusalLineInScript(const ScriptCommand& command, std::string_view answer) {
  const std::optional<RefusalPosition> position = refusalPosition(answer);
  if (!position || position->line <= LOGIN_LINES) return command.firstLine;
  return command.firstLine + position->line - LOGIN_LINES - 1;
}

std::string scriptRefusal(std::string_view file, const ScriptCommand& command,
                          std::string_view answer, bool raw) {
  const auto text = [raw](std::string_view cp866) {
    return raw ? std::string(cp866) : cp866ToUtf8(cp866);
  };
  std::string out(file);
  out += ':';
  const std::optional<RefusalPosition> position = refusalPosition(answer);
  if (position && position->line > LOGIN_LINES) {
    out += std::to_string(refusalLineInScript(command, answer));
    out += ':';
    out += std::to_string(position->column);
    out += ": ";
    out += text(position->message);
  } else {
    out += std::to_string(command.firstLine);
    out += ": ";
    if (position) {
      out += "login: ";
      out += text(position->message);
    } else {
      std::string_view message = answer;
      consume(message, ERROR_LINE);
      out += text(message);
    }
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  out += "\n  in the command: ";
  out += command.text.substr(0, command.text.find_first_of("\r\n"));
  out += '\n';
  return out;
}

std::string scriptSummary(std::string_view file, uint32_t sent, uint32_t refused,
                          std::optional<uint32_t> stoppedAtLine) {
  std::string out(file);
  out += ": " + std::to_string(sent) + (sent == 1 ? " command" : " commands") + " sent, " +
         std::to_string(refused) + " refused";
  if (stoppedAtLine) {
    out += "; stopped after the refusal at line " + std::to_string(*stoppedAtLine) +
           " (--continue-on-error sends the rest)";
  }
  out += '\n';
  return out;
}

}  // namespace dovrel::client
