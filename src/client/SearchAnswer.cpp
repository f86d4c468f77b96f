// Search answer decoding. Pure functions; any thread.
#include "client/SearchAnswer.h"

namespace dovrel::client {

namespace {

// Reads 1 to 10 digits at `pos` into `value` (at most 4294967295); advances `pos`.
bool readNumber(std::string_view text, std::size_t& pos, uint32_t* value) {
  uint64_t v = 0;
  const std::size_t start = pos;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 10) {
    v = v * 10 + static_cast<uint64_t>(text[pos] - '0');
    ++pos;
  }
  if (pos == start || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

bool decodeSearchAnswer(std::string_view text, SearchAnswer* answer, std::string* error) {
  if (!text.starts_with("OK\r\n")) {
    *error = "not a successful answer";
    return false;
  }
  std::size_t pos = 4;
  const std::size_t lineEnd = text.find("\r\n", pos);
  if (lineEnd == std::string_view::npos) {
    *error = "the count line has no line end";
    return false;
  }
  SearchAnswer result;
  result.countLine = std::string(text.substr(pos, lineEnd - pos));
  if (!readNumber(text, pos, &result.returned)) {
    *error = "the count line does not start with a number";
    return false;
  }
  result.found = result.returned;
  if (text.substr(pos, 4) == " of ") {
    pos += 4;
    if (!readNumber(text, pos, &result.found)) {
      *error = "no number after \" of \" in the count line";
      return false;
    }
  }
  if (pos != lineEnd) {
    *error = "unexpected bytes in the count line";
    return false;
  }
  const std::string_view numbers = text.substr(lineEnd + 2);
  if (numbers.size() != static_cast<uint64_t>(result.returned) * 4) {
    *error = "the answer holds " + std::to_string(numbers.size()) + " bytes of numbers for " +
             std::to_string(result.returned) + " documents";
    return false;
  }
  result.documents.reserve(result.returned);
  for (std::size_t i = 0; i < numbers.size(); i += 4) {
    const auto byte = [&](std::size_t k) {
      return static_cast<uint32_t>(static_cast<unsigned char>(numbers[i + k]));
    };
    result.documents.push_back(byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
  }
  *answer = std::move(result);
  return true;
}

bool isSearchCommand(std::string_view command) {
  std::size_t pos = 0;
  while (pos < command.size() && (command[pos] == ' ' || command[pos] == '\t' ||
                                  command[pos] == '\r' || command[pos] == '\n')) {
    ++pos;
  }
  const std::string_view word = command.substr(pos, 6);
  if (word.size() != 6) return false;
  constexpr std::string_view SELECT = "select";
  for (std::size_t i = 0; i < 6; ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != SELECT[i]) return false;
  }
  // "selection" is a name, not the keyword.
  if (pos + 6 < command.size()) {
    const char next = command[pos + 6];
    if ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
        (next >= '0' && next <= '9') || next == '_') {
      return false;
    }
  }
  return true;
}

}  // namespace dovrel::client
