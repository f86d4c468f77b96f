// Reading the server's side of one request: any number of status lines, then the framed
// answer, whose length and CRC-32 are checked. Works over any byte source, so tests can feed
// it scripted bytes. One thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "client/RequestFrame.h"

namespace dovrel::client {

// Where the bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `capacity` bytes into `buffer`: the count, 0 at the end of the stream, or throws
  // ClientError when the connection fails.
  virtual std::size_t receive(char* buffer, std::size_t capacity) = 0;
};

// One answer text (code page 866 bytes, without the frame).
struct Answer {
  std::string text;

  bool isOk() const { return text.starts_with("OK\r\n"); }
  bool isError() const { return text.starts_with("ERROR\r\n"); }
};

// Told each status line ("Receiving", "In queue", "Running", "Ready"; without its line end).
using StatusCallback = std::function<void(std::string_view status)>;

class AnswerReader {
 public:
  // The source must outlive the reader. Bytes that arrive after an answer stay buffered for
  // the next call.
  explicit AnswerReader(ByteSource& source);

  // Reads status lines (each reported to `onStatus`, which may be empty) until the answer
  // header, then the answer. KNOWN_LENGTH: exactly Content-Length bytes whose CRC-32 must
  // match. QUIET: the header must say "0" and "00000000", and the text runs to the end of
  // the stream. Throws ClientError on a lost connection or malformed bytes.
  Answer read(RequestMode mode, const StatusCallback& onStatus);

 private:
  std::string readLine();
  bool fill();  // false at the end of the stream

  ByteSource& source_;
  std::string buffer_;
  std::size_t position_ = 0;
  bool answerStarted_ = false;
};

}  // namespace dovrel::client
