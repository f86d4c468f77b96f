// The formatted-read emulation behind the old user list. The patterns match as the C
// library matches them: an ordinary character must equal the next byte, a blank or a
// line feed in a pattern skips any run of white space (line feeds included, so blank lines
// and even a value on the line after its keyword are accepted), and a conversion stops
// before the first byte it cannot take, which the next pattern then meets.
#include "secmigrate/UsersFileReader.h"

namespace dovrel::secmigrate {

namespace {

// White space of the C locale.
bool isWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Far outside every level, and far from overflowing while digits keep coming.
constexpr int64_t SATURATED_MAGNITUDE = int64_t{1} << 40;

}  // namespace

UsersFileReader::UserLine UsersFileReader::readUser(std::string* name) {
  if (position_ == text_.size()) return UserLine::END;
  return readTextLine("User:", name) ? UserLine::READ : UserLine::FAILED;
}

bool UsersFileReader::readPassword(std::string* password) {
  return readTextLine("Password:", password);
}

bool UsersFileReader::readLevel(int64_t* level) {
  if (!matchLiteral("Level:")) return false;
  skipWhiteSpace();
  if (!scanDecimal(level)) return false;
  skipWhiteSpace();
  return true;
}

bool UsersFileReader::readTextLine(std::string_view keyword, std::string* value) {
  if (!matchLiteral(keyword)) return false;
  skipWhiteSpace();
  if (!scanUpToLineFeed(OLD_FIELD_WIDTH, value)) return false;
  skipWhiteSpace();
  const std::size_t nul = value->find('\0');
  if (nul != std::string::npos) value->resize(nul);
  return true;
}

bool UsersFileReader::matchLiteral(std::string_view literal) {
  for (char expected : literal) {
    if (position_ == text_.size() || text_[position_] != expected) return false;
    ++position_;
  }
  return true;
}

void UsersFileReader::skipWhiteSpace() {
  while (position_ < text_.size() && isWhiteSpace(text_[position_])) ++position_;
}

bool UsersFileReader::scanUpToLineFeed(std::size_t width, std::string* value) {
  const std::size_t start = position_;
  while (position_ < text_.size() && position_ - start < width && text_[position_] != '\n') {
    ++position_;
  }
  if (position_ == start) return false;
  value->assign(text_.substr(start, position_ - start));
  return true;
}

bool UsersFileReader::scanDecimal(int64_t* value) {
  skipWhiteSpace();
  bool negative = false;
  if (position_ < text_.size() && (text_[position_] == '+' || text_[position_] == '-')) {
    negative = text_[position_] == '-';
    ++position_;
  }
  const std::size_t digitsStart = position_;
  int64_t magnitude = 0;
  while (position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9') {
    magnitude = magnitude * 10 + (text_[position_] - '0');
    if (magnitude > SATURATED_MAGNITUDE) magnitude = SATURATED_MAGNITUDE;
    ++position_;
  }
  if (position_ == digitsStart) return false;
  *value = negative ? -magnitude : magnitude;
  return true;
}

}  // namespace dovrel::secmigrate
