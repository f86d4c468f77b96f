// What dovrel-client says about the commands of a script: where in the file a refusal
// points, and the summary after the script. One thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "client/CommandInput.h"

namespace dovrel::client {

// The position a refusal names ("Ошибка в строке L столбце C: MESSAGE", code page 866),
// counted in the request as the server reads it: lines 1 and 2 are the login lines.
struct RefusalPosition {
  uint32_t line;
  uint32_t column;
  std::string message;  // code page 866
};

// The position of the ERROR answer `answer` (code page 866), or nothing when the answer
// is not a positioned refusal.
std::optional<RefusalPosition> refusalPosition(std::string_view answer);

// The line of the script that the refusal `answer` of `command` points at: the command's
// first line when the refusal names a login line or no position.
uint32_t refusalLineInScript(const ScriptCommand& command, std::string_view answer);

// "FILE:LINE:COLUMN: MESSAGE" for a refusal of `command` of script `file`, LINE counted in
// the file; a refusal of the login lines names the command's first line without a column,
// and an unpositioned one names that line too. Then, on a line of its own, the command's
// first line. The message is converted to UTF-8 unless `raw`.
std::string scriptRefusal(std::string_view file, const ScriptCommand& command,
                          std::string_view answer, bool raw);

// "FILE: N commands sent, M refused" and, when the script stopped early, where.
std::string scriptSummary(std::string_view file, uint32_t sent, uint32_t refused,
                          std::optional<uint32_t> stoppedAtLine);

}  // namespace dovrel::client
