// Reads the records of the old user list "users.txt" the way the C formatted read of its
// three patterns does, byte for byte, so that every accepted or refused file is accepted or
// refused as before. Used by one thread; the text must outlive the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dovrel::secmigrate {

// The longest user name or password that one line yields; the rest of a longer line stays
// unread and meets the next pattern.
inline constexpr std::size_t OLD_FIELD_WIDTH = 31;

class UsersFileReader {
 public:
  enum class UserLine {
    READ,    // a user name was read
    END,     // nothing was left before the line: the list is complete
    FAILED,  // the text does not match "User: %31[^\n]\n"
  };

  // `text` is the file's content as a text-mode read yields it (CR LF already one LF).
  explicit UsersFileReader(std::string_view text) : text_(text) {}

  // "User: %31[^\n]\n". Only an exhausted text is END: a user line cut short counts as
  // FAILED rather than as the end of the list, so a damaged last record is not dropped
  // silently.
  UserLine readUser(std::string* name);
  // "Password: %31[^\n]\n".
  bool readPassword(std::string* password);
  // "Level: %d\n". A value beyond the range of int is kept far outside it (saturated)
  // instead of wrapping, so no overlong number can turn into a valid level.
  bool readLevel(int64_t* level);

 private:
  // One line of the form KEYWORD " %31[^\n]\n". The value is cut at its first NUL byte,
  // as the C string that the formatted read fills.
  bool readTextLine(std::string_view keyword, std::string* value);
  // Ordinary characters of a pattern: each must match the next byte exactly.
  bool matchLiteral(std::string_view literal);
  // A white-space directive: skips any run (possibly empty) of white space.
  void skipWhiteSpace();
  // %N[^\n]: one to `width` bytes other than a line feed.
  bool scanUpToLineFeed(std::size_t width, std::string* value);
  // %d: optional white space, an optional sign, at least one decimal digit.
  bool scanDecimal(int64_t* value);

  std::string_view text_;
  std::size_t position_ = 0;
};

}  // namespace dovrel::secmigrate
