// Request header validation and answer framing. Pure functions; any thread.
#include "server/WireFormat.h"

#include <algorithm>

#include "foundation/Crc32.h"

namespace dovrel::server {

namespace {

bool fieldAt(std::string_view bytes, std::size_t offset, std::string_view field) {
  return bytes.substr(offset, field.size()) == field;
}

// 0-15 for "0"-"9" and "A"-"F"; -1 for anything else (lower case included: the checksum is
// written in one canonical form).
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint32_t requestHeaderSize(std::string_view bytes) {
  const std::size_t scanned = std::min<std::size_t>(bytes.size(), REQUEST_HEADER_MAX);
  int lineFeeds = 0;
  for (std::size_t i = 0; i < scanned; ++i) {
    if (bytes[i] == '\n' && ++lineFeeds == HEADER_LINE_FEEDS) return static_cast<uint32_t>(i + 1);
  }
  return scanned == REQUEST_HEADER_MAX ? REQUEST_HEADER_MAX : 0;
}

bool parseRequestHeader(std::string_view bytes, RequestHeader* header) {
  const std::size_t total = bytes.size();
  if (total < REQUEST_HEADER_MIN || total > REQUEST_HEADER_MAX) return false;
  // Offsets from the end: "\r\n" (24), "Checksum: " (22), 8 hex digits (12), "\r\n\r\n" (4).
  if (!fieldAt(bytes, 0, FORMAT_LINE) || !fieldAt(bytes, FORMAT_LINE.size(), LENGTH_FIELD) ||
      !fieldAt(bytes, total - 24, LINE_END) || !fieldAt(bytes, total - 22, CHECKSUM_FIELD) ||
      !fieldAt(bytes, total - 4, "\r\n\r\n")) {
    return false;
  }
  uint32_t length = 0;
  for (std::size_t i = FORMAT_LINE.size() + LENGTH_FIELD.size(); i < total - 24; ++i) {
    const char c = bytes[i];
    if (c < '0' || c > '9') return false;
    const uint32_t digit = static_cast<uint32_t>(c - '0');
    if (length > (0xFFFFFFFFu - digit) / 10) return false;
    length = length * 10 + digit;
  }
  uint32_t checksum = 0;
  for (std::size_t i = total - 12; i < total - 4; ++i) {
    const int value = hexValue(bytes[i]);
    if (value < 0) return false;
    checksum = (checksum << 4) | static_cast<uint32_t>(value);
  }
  header->queryLength = length;
  header->checksum = checksum;
  return true;
}

void frameAnswer(TextBuffer& answer, bool quiet) {
  TextBuffer head;
  head.append(FORMAT_LINE);
  head.append(LENGTH_FIELD);
  head.appendDecimal(quiet ? 0 : answer.length());
  head.append(LINE_END);
  head.append(CHECKSUM_FIELD);
  head.appendHex(quiet ? 0 : crc32(answer.pointer(), answer.length()), 8);
  head.append(LINE_END);
  head.append(LINE_END);
  answer.insertFront(head.pointer(), head.length());
}

}  // namespace dovrel::server
