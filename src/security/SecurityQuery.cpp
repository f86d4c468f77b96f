// SecurityQuery: the bracketed entries of the security log and the masking of the
// passwords a request carries. Query thread only.
//
// The masking never relies on the request scanning or parsing: a request that reaches the
// log may be malformed anywhere. It walks the raw bytes with a lexer of its own that knows
// only what tells a password's position apart: words (ASCII letters, digits and '_', the
// keywords folded as the scanner folds them), the command's end ';', quoted and counted
// strings, blanks, and single bytes for everything else.
//   1. From the word identified or by to the end of the command (the next ';' outside a
//      string), every token is a possible password and is masked; only the word by right
//      after identified stays, so a valid request keeps its keywords.
//   2. A string that opens there and never closes (a quote without its partner, a counted
//      string whose count overruns the text or misses its closing '#') masks the rest of
//      the request: where the password ends is unknown.
//   3. Outside those spans a string is data and is kept whole, whatever it holds. When some
//      string of the request does not scan as the scanner reads strings (no partner quote, a
//      byte below 32 inside quotes, a wrong count), the pairing of its quotes is in doubt: the
//      walk is done a second time reading every quote and '#' outside the spans of rule 1 as
//      a single byte, and what either walk masks is masked.
//   4. The value of a "Password: " line ending in CR LF (a login line as the server reads
//      it) is masked and the command starts after it. A value without that line end may
//      run into the command: it is masked whatever it holds and walked as the command's
//      start, its words counting for rules 1 and 2 and its quotes read as single bytes, except
//      at a password's place, where a string that does not close inside the value masks the
//      rest of the request.
// Masked bytes become "***", one per run of masked bytes; blanks between tokens are kept.
#include "security/SecurityQuery.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "foundation/Assert.h"
#include "security/SimpleLog.h"

namespace dovrel {

namespace {

constexpr std::string_view USER_PREFIX = "User: ";
constexpr std::string_view PASSWORD_PREFIX = "Password: ";
constexpr std::string_view MASK = "***";

bool isBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool isWordStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isWordChar(unsigned char c) { return isWordStart(c) || isDigit(c); }

// The word equals the lower-case keyword, ASCII letters folded as the scanner folds them.
bool isKeyword(std::string_view word, std::string_view keyword) {
  if (word.size() != keyword.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != keyword[i]) return false;
  }
  return true;
}

// The line that starts the text: up to and including its line feed, or the whole text.
std::string_view firstLine(std::string_view text) {
  const std::size_t feed = text.find('\n');
  return feed == std::string_view::npos ? text : text.substr(0, feed + 1);
}

enum class Token {
  BLANK,
  WORD,       // a name or a number
  SEMICOLON,  // the end of a command
  STRING,     // a quoted or counted string that closes
  UNCLOSED,   // the opening byte of a string that never closes
  OTHER,      // any other single byte
};

// The masks of one command text, byte by byte; its first bytes may be a password value
// (rule 4).
class CommandMask {
 public:
  // The first `hidden` bytes are masked whatever the walks find.
  CommandMask(std::string_view text, std::size_t hidden)
      : text_(text), hidden_(hidden), masked_(text.size(), false) {
    markRange(0, hidden);
  }

  // Rule 3: the walk reading strings, and when a string was in doubt, the one that does not.
  void mark() {
    if (walk(true)) walk(false);
  }

  void appendTo(std::string& out) const {
    for (std::size_t i = 0; i < text_.size(); ++i) {
      if (!masked_[i]) {
        out += text_[i];
      } else if (i == 0 || !masked_[i - 1]) {
        out += MASK;
      }
    }
  }

 private:
  // Rules 1 and 2 over the whole text; true when a string did not scan.
  bool walk(bool readStrings) {
    enum { OUTSIDE, AFTER_IDENTIFIED, PASSWORD } state = OUTSIDE;
    bool doubtful = false;
    std::size_t pos = 0;
    while (pos < text_.size()) {
      std::size_t end = pos;
      // In a password's place a string is read even by the second walk: one that never
      // closes must still mask the rest. Elsewhere in the hidden bytes (a password) a quote
      // is a byte, so that it pairs with no quote of the command.
      const bool strings = state != OUTSIDE || (readStrings && pos >= hidden_);
      Token token = read(pos, strings, &end, &doubtful);
      // A string that opens in the hidden bytes and closes after them pairs a password's
      // quote with one of the command's: where the password ends is unknown.
      if (token == Token::STRING && pos < hidden_ && end > hidden_) token = Token::UNCLOSED;
      const std::string_view bytes = text_.substr(pos, end - pos);
      if (token == Token::SEMICOLON) {
        state = OUTSIDE;
      } else if (token == Token::BLANK) {
        // Blanks separate tokens and are kept.
      } else if (state == AFTER_IDENTIFIED && token == Token::WORD && isKeyword(bytes, "by")) {
        state = PASSWORD;
      } else if (state != OUTSIDE) {
        if (token == Token::UNCLOSED) {
          markRange(pos, text_.size());
          return doubtful;
        }
        markRange(pos, end);
        state = PASSWORD;
      } else if (token == Token::WORD) {
        if (isKeyword(bytes, "identified")) {
          state = AFTER_IDENTIFIED;
        } else if (isKeyword(bytes, "by")) {
          state = PASSWORD;
        }
      }
      pos = end;
    }
    return doubtful;
  }

  // The token at `pos` (< size) and its end. Sets *doubtful when a string does not scan.
  Token read(std::size_t pos, bool readStrings, std::size_t* end, bool* doubtful) const {
    const auto at = [this](std::size_t i) { return static_cast<unsigned char>(text_[i]); };
    const std::size_t size = text_.size();
    const unsigned char c = at(pos);
    *end = pos + 1;
    if (isBlank(c)) return Token::BLANK;
    if (c == ';') return Token::SEMICOLON;
    if (isWordChar(c)) {
      // A number and a name that touch are two words, as the scanner reads them.
      const bool name = isWordStart(c);
      while (*end < size && (name ? isWordChar(at(*end)) : isDigit(at(*end)))) ++*end;
      return Token::WORD;
    }
    if (!readStrings) return Token::OTHER;
    if (c == '\'' || c == '"') {
      const std::size_t close = text_.find(static_cast<char>(c), pos + 1);
      if (close == std::string_view::npos) {
        *doubtful = true;
        return Token::UNCLOSED;
      }
      for (std::size_t i = pos + 1; i < close; ++i) {
        if (at(i) < 32) *doubtful = true;
      }
      *end = close + 1;
      return Token::STRING;
    }
    if (c == '#') {
      std::size_t digits = pos + 1;
      std::size_t count = 0;
      while (digits < size && isDigit(at(digits))) {
        // Saturates: a count beyond the text is as wrong as any other that overruns it.
        count = count > size ? count : count * 10 + (at(digits) - '0');
        ++digits;
      }
      if (digits == pos + 1 || digits >= size || at(digits) != '#') {
        *doubtful = true;
        return Token::OTHER;
      }
      const std::size_t content = digits + 1;  // at most size
      if (count >= size - content || at(content + count) != '#') {
        *doubtful = true;
        return Token::UNCLOSED;
      }
      *end = content + count + 1;
      return Token::STRING;
    }
    return Token::OTHER;
  }

  void markRange(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) masked_[i] = true;
  }

  std::string_view text_;
  std::size_t hidden_;
  std::vector<bool> masked_;
};

// The command text, its first `hidden` bytes masked.
void appendMaskedCommand(std::string_view command, std::size_t hidden, std::string& out) {
  CommandMask mask(command, hidden);
  mask.mark();
  mask.appendTo(out);
}

}  // namespace

SecurityQuery::SecurityQuery(SimpleLog& log, TextView request) : log_(log) {
  std::string entry("\r\n[");
  entry += timestamp(platform::utcTimeNow());
  entry += "]\r\n";
  entry += maskPasswords(request);
  log_.write(entry);
}

SecurityQuery::~SecurityQuery() {
  if (!wasSuccess_) log_.write("\r\n[Failure]\r\n");
}

void SecurityQuery::success() {
  DOVREL_ASSERT(!wasSuccess_);
  wasSuccess_ = true;
  log_.write("\r\n[Success]\r\n");
}

std::string SecurityQuery::timestamp(const platform::CalendarTime& time) {
  char text[64];
  std::snprintf(text, sizeof(text), "%02d.%02d.%04d %02d:%02d:%02d", time.day, time.month,
                time.year, time.hour, time.minute, time.second);
  return text;
}

std::string SecurityQuery::maskPasswords(TextView request) {
  std::string out;
  out.reserve(request.length() + MASK.size());
  std::string_view rest = request.view();
  // The password line is the first or second line that starts as one. A first line that is
  // the user's login line is kept as it is; any other text is walked as a command.
  const std::string_view first = firstLine(rest);
  const bool passwordFirst = first.starts_with(PASSWORD_PREFIX);
  if (!passwordFirst && firstLine(rest.substr(first.size())).starts_with(PASSWORD_PREFIX)) {
    if (first.starts_with(USER_PREFIX)) {
      out += first;
    } else {
      appendMaskedCommand(first, 0, out);
    }
    rest.remove_prefix(first.size());
  } else if (!passwordFirst && first.starts_with(USER_PREFIX)) {
    out += first;
    rest.remove_prefix(first.size());
  }
  const std::string_view passwordLine = firstLine(rest);
  if (!passwordLine.starts_with(PASSWORD_PREFIX)) {
    appendMaskedCommand(rest, 0, out);
  } else if (passwordLine.ends_with("\r\n")) {
    // A login line as the server reads one: the command starts on the next line.
    out += PASSWORD_PREFIX;
    out += MASK;
    out += "\r\n";
    appendMaskedCommand(rest.substr(passwordLine.size()), 0, out);
  } else {
    // Not a login line's end: the command may have begun in the line, so the walk starts
    // at the value, which is masked whatever it holds.
    out += PASSWORD_PREFIX;
    rest.remove_prefix(PASSWORD_PREFIX.size());
    const std::size_t value = passwordLine.size() - PASSWORD_PREFIX.size();
    appendMaskedCommand(rest, passwordLine.ends_with("\n") ? value - 1 : value, out);
  }
  return out;
}

}  // namespace dovrel
