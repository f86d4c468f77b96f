// Parsing the answer stream. One thread at a time.
#include "client/AnswerReader.h"

#include <cstdint>
#include <cstdio>

#include "client/ClientError.h"
#include "foundation/Crc32.h"

namespace dovrel::client {

namespace {

// Longer than any header or status line; a longer "line" is not ours.
constexpr std::size_t MAX_LINE = 64;
constexpr std::size_t RECEIVE_PIECE = 65536;

bool isStatusLine(std::string_view line) {
  return line == "Receiving\r\n" || line == "In queue\r\n" || line == "Running\r\n" ||
         line == "Ready\r\n";
}

std::string printable(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

[[noreturn]] void malformed(std::string_view what, std::string_view line) {
  throw ClientError("malformed answer from the server: " + std::string(what) + " (got \"" +
                    printable(line) + "\")");
}

// The value after `field` up to "\r\n", which must be 1 to `maxDigits` digits of `base`
// (decimal, or upper-case hex).
uint32_t fieldValue(std::string_view line, std::string_view field, int base, size_t minDigits,
                    size_t maxDigits) {
  if (!line.starts_with(field) || !line.ends_with("\r\n")) malformed(field, line);
  const std::string_view digits = line.substr(field.size(), line.size() - field.size() - 2);
  if (digits.size() < minDigits || digits.size() > maxDigits) malformed(field, line);
  uint64_t value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      malformed(field, line);
    }
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  if (value > UINT32_MAX) malformed(field, line);
  return static_cast<uint32_t>(value);
}

}  // namespace

AnswerReader::AnswerReader(ByteSource& source) : source_(source) {}

bool AnswerReader::fill() {
  if (position_ > 0) {
    buffer_.erase(0, position_);
    position_ = 0;
  }
  const std::size_t old = buffer_.size();
  buffer_.resize(old + RECEIVE_PIECE);
  const std::size_t got = source_.receive(buffer_.data() + old, RECEIVE_PIECE);
  buffer_.resize(old + got);
  return got > 0;
}

std::string AnswerReader::readLine() {
  for (;;) {
    const std::size_t feed = buffer_.find('\n', position_);
    if (feed != std::string::npos && feed - position_ < MAX_LINE) {
      std::string line = buffer_.substr(position_, feed + 1 - position_);
      position_ = feed + 1;
      return line;
    }
    if (buffer_.size() - position_ >= MAX_LINE) {
      malformed("line too long", std::string_view(buffer_).substr(position_, MAX_LINE));
    }
    if (!fill()) {
      if (buffer_.size() == position_) {
        throw ClientError("connection closed by the server", !answerStarted_);
      }
      throw ClientError("connection closed by the server in the middle of an answer");
    }
  }
}

Answer AnswerReader::read(RequestMode mode, const StatusCallback& onStatus) {
  answerStarted_ = false;
  std::string line = readLine();
  while (isStatusLine(line)) {
    if (onStatus) onStatus(std::string_view(line).substr(0, line.size() - 2));
    line = readLine();
  }
  if (line != "Format: TORV5\r\n") malformed("expected a status line or \"Format: TORV5\"", line);
  answerStarted_ = true;
  const uint32_t length = fieldValue(readLine(), "Content-Length: ", 10, 1, 10);
  const uint32_t checksum = fieldValue(readLine(), "Checksum: ", 16, 8, 8);
  line = readLine();
  if (line != "\r\n") malformed("expected the empty line after the header", line);

  Answer answer;
  if (mode == RequestMode::QUIET) {
    if (length != 0 || checksum != 0) malformed("quiet answer with a length", "");
    answer.text = buffer_.substr(position_);
    position_ = buffer_.size();
    while (fill()) {
      answer.text.append(buffer_);
      position_ = buffer_.size();
    }
    return answer;
  }
  while (buffer_.size() - position_ < length) {
    if (!fill()) throw ClientError("connection closed by the server in the middle of an answer");
  }
  answer.text = buffer_.substr(position_, length);
  position_ += length;
  if (crc32(answer.text.data(), answer.text.size()) != checksum) {
    throw ClientError("answer checksum mismatch");
  }
  return answer;
}

}  // namespace dovrel::client
