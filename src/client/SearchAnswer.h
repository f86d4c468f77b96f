// Decoding the answer of a search: "OK\r\n", a count line, then the document numbers as
// little-endian unsigned 32-bit integers. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dovrel::client {

struct SearchAnswer {
  // The count line without its line end: "N" or, with a limit or offset, "N of M".
  std::string countLine;
  uint32_t returned = 0;  // N: how many numbers follow
  uint32_t found = 0;     // M, or N when the line has no " of "
  std::vector<uint32_t> documents;
};

// Decodes a successful search answer. False (with `error` set, in UTF-8) when the text is
// not one: no "OK\r\n", a malformed count line, or a number of bytes after it that is not
// exactly 4 per returned document.
bool decodeSearchAnswer(std::string_view text, SearchAnswer* answer, std::string* error);

// Whether a command is a search, so its answer is to be decoded: its first word, after
// blanks and line ends, is "select" in any letter case.
bool isSearchCommand(std::string_view command);

}  // namespace dovrel::client
