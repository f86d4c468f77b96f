// Fuzz target: the security log's masking. Each input builds one request that holds a
// marker password in the "Password: " login line and, in most inputs, in a security
// command after identified by, identified or by, as a quoted, counted (right, wrong, huge
// or unclosed count), bare or numeric password, among text the input chooses. The logged
// text must hold no byte of a marker: the markers are 'Z's (login) and 'Q's (command) and
// the input's own 'Z's and 'Q's become lower case, so any 'Z' or 'Q' in the output is a
// leaked piece of a password.
//
// Input: four choice bytes, then pieces separated by 0xFF: the user name, the text before
// and after the marker in the password line, the command before the password, the content
// of strings spliced into it, the text before and after the marker in the password, and
// the text after it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/TextView.h"
#include "fuzz/FuzzSupport.h"
#include "security/SecurityQuery.h"

using namespace dovrel;

namespace {

// The command's password, and the login line's.
constexpr std::string_view MARKER = "QQQQQQ";
constexpr std::string_view LOGIN_MARKER = "ZZZZZZ";

class Input {
 public:
  Input(const uint8_t* data, size_t size) : bytes_(reinterpret_cast<const char*>(data), size) {}

  uint8_t choice() {
    if (bytes_.empty()) return 0;
    const auto c = static_cast<uint8_t>(bytes_[0]);
    bytes_.remove_prefix(1);
    return c;
  }

  // The next piece, with every 'Q' and 'Z' made lower case so that only a marker holds one.
  std::string piece() {
    const std::size_t end = bytes_.find('\xFF');
    std::string text(bytes_.substr(0, end));
    bytes_.remove_prefix(end == std::string_view::npos ? bytes_.size() : end + 1);
    for (char& c : text) {
      if (c == 'Q' || c == 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
  }

 private:
  std::string_view bytes_;
};

std::string without(std::string text, std::string_view bytes) {
  std::string out;
  for (char c : text) {
    if (bytes.find(c) == std::string_view::npos) out += c;
  }
  return out;
}

// Random case, as a client may write the keywords.
std::string keyword(std::string_view word, uint8_t caseBits) {
  std::string out(word);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if ((caseBits >> (i % 8)) & 1) out[i] = static_cast<char>(out[i] - 'a' + 'A');
  }
  return out;
}

std::string counted(std::string_view content, std::size_t count, bool closed) {
  std::string out = "#" + std::to_string(count) + "#";
  out += content;
  if (closed) out += '#';
  return out;
}

// The command before the password: the input's text with no string of its own (every quote
// and '#' neutralised), with up to three whole strings spliced in. Every string there closes
// where a scanner would close it, so the password that follows is at the command's level.
std::string commandBefore(std::string raw, const std::string& content, uint8_t choice) {
  for (char& c : raw) {
    if (c == '\'' || c == '"' || c == '#') c = '.';
  }
  // The places are in the input's text and taken from the last, so that no string is
  // spliced into another.
  const std::size_t strings = choice & 3;
  std::vector<std::size_t> places;
  for (std::size_t i = 0; i < strings; ++i) {
    places.push_back((content.size() * 7 + choice * (i + 1)) % (raw.size() + 1));
  }
  std::sort(places.rbegin(), places.rend());
  for (std::size_t i = 0; i < strings; ++i) {
    std::string s;
    switch ((choice >> (2 + 2 * i)) & 3) {
      case 0:
        s = "'" + without(content, "'") + "'";
        break;
      case 1:
        s = "\"" + without(content, "\"") + "\"";
        break;
      default:
        s = counted(content, content.size(), true);
        break;
    }
    raw.insert(places[i], s);
  }
  return raw;
}

// The password in one of its forms; the marker sits between `pre` and `post`.
std::string password(uint8_t form, uint8_t countShift, const std::string& pre,
                     const std::string& post) {
  // A ';' outside a string ends the command, and what follows it is not a password.
  const std::string plain = without(pre, ";") + std::string(MARKER) + without(post, ";");
  switch (form & 7) {
    case 0:
      return "'" + without(pre, "'") + std::string(MARKER) + without(post, "'") + "'";
    case 1:
      return "\"" + without(pre, "\"") + std::string(MARKER) + without(post, "\"") + "\"";
    case 2: {
      const std::string content = pre + std::string(MARKER) + post;
      return counted(content, content.size(), true);
    }
    case 3:  // a wrong count, longer or shorter, the closing '#' there or not
      return counted(plain, plain.size() + countShift - 128, (form & 8) != 0);
    case 4:
      return "#99999999999999999999#" + plain + "#";
    case 5:
      return plain;
    case 6:
      return std::to_string(countShift) + plain;
    default:  // a quote that never closes in the password itself
      return ((form & 8) != 0 ? "'" : "\"") + without(pre, "'\"") + std::string(MARKER) +
             without(post, "'\"");
  }
}

// The text with every byte outside printable ASCII as \xHH, for the failure message.
std::string printable(std::string_view text) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 32 && b < 127 && b != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += HEX[b >> 4];
      out += HEX[b & 15];
    }
  }
  return out;
}

const char* const SEPARATORS[] = {" ", "\t",   "\r\n", "\n", "  ", ";", "(",      "@",
                                  "%", "\x01", "\xA0", ",",  "=",  ".", "\r\n\t", "\x7F"};
const char* const BLANKS[] = {" ", "\t", "\r\n", "\n", "  ", "\r\n  ", " \t ", "\n\n"};
const char* const LINE_ENDS[] = {"\r\n", "\n", "\r\n", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  Input input(data, size);
  const uint8_t shape = input.choice();
  const uint8_t spacing = input.choice();
  const uint8_t splice = input.choice();
  const uint8_t countShift = input.choice();

  const std::string user = without(input.piece(), "\n");
  const std::string loginPre = without(input.piece(), "\n");
  const std::string loginPost = without(input.piece(), "\n");
  const std::string before = input.piece();
  // A login line without its own line end ends at the first one that follows. Were that
  // one inside a spliced string, the string's partner quote would open a string in the
  // command, and the password would no longer be at the command's level.
  const char* const lineEnd = LINE_ENDS[shape >> 6];
  const std::string content = *lineEnd != '\0' ? input.piece() : without(input.piece(), "\n");
  const std::string pre = input.piece();
  const std::string post = input.piece();
  const std::string after = input.piece();

  std::string request = "User: " + user + "\r\n";
  request += "Password: " + loginPre + std::string(LOGIN_MARKER) + loginPost;
  request += lineEnd;
  request += commandBefore(before, content, splice);
  const int words = shape & 3;
  const std::size_t commandPassword = request.size();
  if (words != 3) {
    request += SEPARATORS[spacing & 15];
    if (words != 2) request += keyword("identified", countShift ^ spacing);
    if (words == 0) request += BLANKS[(spacing >> 4) & 7];
    if (words != 1) request += keyword("by", spacing >> 3);
    request += BLANKS[spacing >> 5];
    request += password(static_cast<uint8_t>(shape >> 2), countShift, pre, post);
  }
  request += after;

  // Only a request whose password line ends in CR LF logs in, so only such a request can
  // reach the log with a command. Without its own line end the password line runs on to the
  // next one; when that ends with CR LF after the words began, they are in the login line,
  // which the server takes as a whole for the password: what follows the line starts the
  // command. Any other request is refused at its login, and only its login password is
  // checked.
  const std::size_t feed = request.find('\n', user.size() + 8);
  const bool loggedIn = feed != std::string::npos && request[feed - 1] == '\r';
  const bool wordsInLogin = loggedIn && feed > commandPassword;
  const std::string logged = SecurityQuery::maskPasswords(TextView(request));
  if (logged.find('Z') != std::string::npos ||
      (loggedIn && !wordsInLogin && logged.find('Q') != std::string::npos)) {
    fuzz::fail("a password reached the log:\n" + printable(request) + "\nlogged as\n" +
               printable(logged));
  }
  // The user's login line is logged as received.
  if (!logged.starts_with("User: " + user + "\r\nPassword: ***")) {
    fuzz::fail("the login lines were not kept: " + logged);
  }
  return 0;
}
