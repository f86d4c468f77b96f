// dovrel-client's code pages: typed commands out, answers in. Pure functions; any thread.
//
// Both code pages hold one character per byte, so a counted string's count is the same
// number of characters on the screen as of bytes on the wire; what changes between the two
// is only which bytes stand for which characters.
#include "client/TextEncoding.h"

#include <cstdint>
#include <cstdio>

#include "client/ClientError.h"
#include "foundation/Cp866.h"

namespace dovrel::client {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || isDigit(c); }

// The digits of a counted string's "#n#" starting at text[at] == '#': the position of the
// second '#', or 0 when the text there is not "#digits#". The count is capped just above
// the largest the server reads, which it refuses anyway.
std::size_t countedHeader(std::string_view text, std::size_t at, uint64_t* count) {
  std::size_t j = at + 1;
  uint64_t value = 0;
  while (j < text.size() && isDigit(text[j])) {
    if (value <= 0xFFFFFFFFull) value = value * 10 + static_cast<uint64_t>(text[j] - '0');
    ++j;
  }
  if (j == at + 1 || j >= text.size() || text[j] != '#') return 0;
  *count = value;
  return j;
}

class CommandEncoder {
 public:
  CommandEncoder(std::string_view text, ValueCodePage values)
      : text_(text), valuesIn866_(values == ValueCodePage::VALUES_866) {}

  std::string run() {
    out_.reserve(text_.size());
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      // "identified by" is followed by a password, which must match the login line.
      const bool password = previousWord_ == "identified" && lastWord_ == "by";
      const bool dos = password || valuesIn866_;
      uint64_t count = 0;
      const std::size_t second = c == '#' ? countedHeader(text_, pos_, &count) : 0;
      if (c == '\'' || c == '"') {
        quoted(c, dos);
        noteToken({});
      } else if (second != 0) {
        counted(second, count, dos);
        noteToken({});
      } else if (isNameStart(c)) {
        std::string word;
        while (pos_ < text_.size() && isNameChar(text_[pos_])) {
          const char n = text_[pos_];
          word += (n >= 'A' && n <= 'Z') ? static_cast<char>(n - 'A' + 'a') : n;
          take(true);
        }
        noteToken(std::move(word));
      } else {
        const bool blank = c == ' ' || c == '\r' || c == '\n' || c == '\t';
        take(true);
        if (!blank) noteToken({});
      }
    }
    return std::move(out_);
  }

 private:
  // '…' or "…" up to the same quote (or the end of the text, which the server refuses).
  void quoted(char quote, bool dos) {
    take(true);
    while (pos_ < text_.size() && text_[pos_] != quote) take(dos);
    if (pos_ < text_.size()) take(true);
  }

  // "#n#" (its second '#' at `second`), n characters, then the closing '#' when it is
  // there (the server refuses a string without it, or one longer than the text).
  void counted(std::size_t second, uint64_t count, bool dos) {
    while (pos_ <= second) take(true);
    for (uint64_t k = 0; k < count && pos_ < text_.size(); ++k) take(dos);
    if (pos_ < text_.size() && text_[pos_] == '#') take(true);
  }

  void noteToken(std::string word) {
    previousWord_ = std::move(lastWord_);
    lastWord_ = std::move(word);
  }

  // Converts the character at pos_ into code page 866 (dos) or 1251 and moves past it.
  void take(bool dos) {
    const std::size_t start = pos_;
    const char32_t cp = decodeUtf8At(text_, pos_);
    const std::string_view seen = text_.substr(start, pos_ - start);
    char where[64];
    std::snprintf(where, sizeof where, "line %u, column %u: ", line_, column_);
    if (cp == 0xFFFD && seen != "\xEF\xBF\xBD") {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(seen[0]));
      throw ClientError(std::string(where) + "the byte " + byte +
                        " is not UTF-8; nothing was sent");
    }
    const int byte = dos ? cp866ByteOf(cp) : cp1251ByteOf(cp);
    if (byte < 0) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
      throw ClientError(std::string(where) + "the character " + code + " '" + std::string(seen) +
                        "' has no place in code page " + (dos ? "866" : "1251") +
                        (dos ? "" : " (string values)") + "; nothing was sent");
    }
    out_.push_back(static_cast<char>(byte));
    if (cp == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
  }

  std::string_view text_;
  bool valuesIn866_;
  std::size_t pos_ = 0;
  unsigned line_ = 1;
  unsigned column_ = 1;
  std::string out_;
  std::string lastWord_;      // the last token when it was a word, else empty
  std::string previousWord_;  // the token before it, likewise
};

}  // namespace

std::string encodeCommand(std::string_view utf8, ValueCodePage values) {
  return CommandEncoder(utf8, values).run();
}

std::string decodeAnswer(std::string_view bytes, ValueCodePage values) {
  std::string out;
  out.reserve(bytes.size() * 2);
  std::size_t plain = 0;  // start of the code page 866 text not yet converted
  const auto flushPlain = [&](std::size_t end) {
    std::string run;
    run.reserve(end - plain);
    for (std::size_t i = plain; i < end; ++i) {
      if (bytes[i] == '\r' && i + 1 < end && bytes[i + 1] == '\n') continue;
      run += bytes[i];
    }
    out += cp866ToUtf8(run);
  };
  std::size_t i = 0;
  while (i < bytes.size()) {
    uint64_t count = 0;
    const std::size_t second = bytes[i] == '#' ? countedHeader(bytes, i, &count) : 0;
    const std::size_t content = second + 1;
    if (second == 0 || count >= bytes.size() - content || bytes[content + count] != '#') {
      ++i;
      continue;
    }
    flushPlain(i);
    // A line end inside a value is shown as the one LF it is on the screen, and counted so.
    std::string value;
    value.reserve(count);
    for (std::size_t k = content; k < content + count; ++k) {
      if (bytes[k] == '\r' && k + 1 < content + count && bytes[k + 1] == '\n') continue;
      value += bytes[k];
    }
    const std::string shown =
        values == ValueCodePage::VALUES_866 ? cp866ToUtf8(value) : cp1251ToUtf8(value);
    out += '#';
    out += std::to_string(value.size());
    out += '#';
    out += shown;
    out += '#';
    i = content + count + 1;
    plain = i;
  }
  flushPlain(bytes.size());
  return out;
}

}  // namespace dovrel::client
