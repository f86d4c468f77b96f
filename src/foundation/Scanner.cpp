// Scanner: the lexer shared by the query language and every stored text. One thread per
// scanner. Positions: `line` and `column` are those of ch_, the byte just before current_;
// at the end of the text they stay on the last character.
#include "foundation/Scanner.h"

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/TextBuffer.h"

namespace dovrel {

namespace {

bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

bool isNameStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isNameChar(unsigned char c) { return isNameStart(c) || isDigit(c); }

}  // namespace

Scanner::Scanner(TextView text)
    : current_(text.pointer()), finish_(text.pointer() + text.length()) {
  advance();
  // An empty text still has a position to report.
  if (column_ == 0) column_ = 1;
}

void Scanner::advance() {
  if (current_ == finish_) {
    ch_ = 0;
    atEnd_ = true;
    return;
  }
  if (ch_ == '\n') {
    ++line_;
    column_ = 1;
  } else {
    ++column_;
  }
  ch_ = static_cast<unsigned char>(*current_++);
}

void Scanner::next() {
  while (ch_ == ' ' || ch_ == '\r' || ch_ == '\n') advance();
  switch (ch_) {
    case 0:  // the end, or a zero byte, which ends the text as well
      kind_ = TOKEN_END;
      return;
    case '#':
      readCounted();
      return;
    case '\'':
    case '"':
      readQuoted();
      return;
    case '{':
      kind_ = TOKEN_LBRACE;
      break;
    case '}':
      kind_ = TOKEN_RBRACE;
      break;
    case ';':
      kind_ = TOKEN_SEMICOLON;
      break;
    case ':':
      kind_ = TOKEN_COLON;
      break;
    case '.':
      kind_ = TOKEN_DOT;
      break;
    case ',':
      kind_ = TOKEN_COMMA;
      break;
    case '(':
      kind_ = TOKEN_LPAREN;
      break;
    case ')':
      kind_ = TOKEN_RPAREN;
      break;
    case '=':
      kind_ = TOKEN_EQUAL;
      break;
    case '<':
      advance();
      if (ch_ == '=') {
        kind_ = TOKEN_LESS_EQUAL;
      } else if (ch_ == '>') {
        kind_ = TOKEN_NOT_EQUAL;
      } else {
        kind_ = TOKEN_LESS;
        return;  // the following character starts the next token
      }
      break;
    case '>':
      advance();
      if (ch_ != '=') {
        kind_ = TOKEN_GREATER;
        return;
      }
      kind_ = TOKEN_GREATER_EQUAL;
      break;
    default:
      if (isNameStart(ch_)) {
        readName();
        kind_ = TOKEN_NAME;
      } else if (isDigit(ch_)) {
        number_ = readNumber();
        kind_ = TOKEN_NUMBER;
      } else {
        error("недопустимый символ"_cp866);
      }
      return;
  }
  advance();  // past a punctuation token's last character
}

void Scanner::readName() {
  nameLen_ = 0;
  while (isNameChar(ch_)) {
    if (nameLen_ + 1 >= sizeof(name_)) error("слишком длинное имя"_cp866);
    char c = static_cast<char>(ch_);
    name_[nameLen_++] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    advance();
  }
  name_[nameLen_] = 0;
}

uint32_t Scanner::readNumber() {
  uint32_t value = 0;
  while (isDigit(ch_)) {
    uint32_t digit = ch_ - '0';
    if (value > (0xFFFFFFFFu - digit) / 10) error("слишком большое число"_cp866);
    value = value * 10 + digit;
    advance();
  }
  return value;
}

void Scanner::readCounted() {
  advance();  // past the opening "#"
  if (!isDigit(ch_)) error("ожидается число"_cp866);
  uint32_t count = readNumber();
  if (ch_ != '#') error("ожидается #1"_cp866);
  // current_ is the first content byte. Compared as a difference, so a huge count cannot
  // wrap the pointer.
  if (static_cast<std::size_t>(finish_ - current_) < count) {
    error("длина строки превышает длину запроса"_cp866);
  }
  string_ = TextView(current_, count);
  // The content is skipped in one step; it counts as one column and never as a line,
  // whatever bytes it holds.
  current_ += count;
  DOVREL_ASSERT_TEXT(current_ <= finish_, "current<=finish");
  advance();
  if (ch_ != '#') error("ожидается #2"_cp866);
  advance();
  kind_ = TOKEN_STRING;
}

void Scanner::readQuoted() {
  unsigned char quote = ch_;
  advance();
  const char* start = current_ - 1;
  for (;;) {
    if (atEnd_) error("незакрытый строковый литерал в кавычках"_cp866);
    if (ch_ == quote) break;
    if (ch_ < 32) error("символ с кодом от 0 до 31 в строковом литерале в кавычках"_cp866);
    advance();
  }
  string_ = TextView(start, static_cast<uint32_t>((current_ - 1) - start));
  advance();  // past the closing quote
  kind_ = TOKEN_STRING;
}

TextView Scanner::readLine() {
  if (atEnd_) return TextView(finish_, 0);
  const char* start = current_ - 1;
  while (!atEnd_ && ch_ != '\n') advance();
  if (atEnd_) return TextView(start, static_cast<uint32_t>(finish_ - start));
  advance();  // the line feed belongs to the line
  const char* end = atEnd_ ? finish_ : current_ - 1;
  return TextView(start, static_cast<uint32_t>(end - start));
}

bool Scanner::isName(std::string_view lowerCase) const {
  return kind_ == TOKEN_NAME && name() == lowerCase;
}

void Scanner::expect(TokenKind kind) {
  if (kind_ != kind) {
    std::string message("ожидается "_cp866);
    message += description(kind);
    message += " получено "_cp866;
    message += currentDescription();
    error(message);
  }
  next();
}

void Scanner::expectKeyword(std::string_view keyword) {
  if (!isName(keyword)) {
    std::string message("ожидается "_cp866);
    message += keyword;
    message += " получено "_cp866;
    message += currentDescription(true);
    error(message);
  }
  next();
}

void Scanner::expectCommandEnd(std::string_view nextClause) {
  expect(TOKEN_SEMICOLON);
  if (nextClause.empty() || !isName(nextClause)) expectRequestEnd();
}

void Scanner::expectRequestEnd() const {
  if (kind_ != TOKEN_END) {
    error(std::string("ожидается конец запроса получено "_cp866) + currentDescription(true));
  }
}

TextView Scanner::expectString() {
  if (kind_ != TOKEN_STRING) {
    error(std::string("ожидается строка получено "_cp866) + currentDescription());
  }
  TextView result = string_;
  next();
  return result;
}

std::string Scanner::expectName(std::string_view what) {
  if (kind_ != TOKEN_NAME) {
    std::string message("ожидается имя "_cp866);
    message += what;
    message += " получено "_cp866;
    message += currentDescription();
    error(message);
  }
  std::string result(name());
  next();
  return result;
}

uint32_t Scanner::expectNumber() {
  if (kind_ != TOKEN_NUMBER) {
    error(std::string("ожидается число получено "_cp866) + currentDescription());
  }
  uint32_t result = number_;
  next();
  return result;
}

void Scanner::error(std::string_view message) const {
  std::string text("Ошибка в строке "_cp866);
  text += toDecimalString(line_);
  text += " столбце "_cp866;
  text += toDecimalString(column_);
  text += ": ";
  text += message;
  throw TextError(std::move(text));
}

std::string_view Scanner::description(TokenKind kind) {
  switch (kind) {
    case TOKEN_LBRACE:
      return "'{'";
    case TOKEN_RBRACE:
      return "'}'";
    case TOKEN_SEMICOLON:
      return "';'";
    case TOKEN_COLON:
      return "':'";
    case TOKEN_DOT:
      return "'.'";
    case TOKEN_LPAREN:
      return "'('";
    case TOKEN_RPAREN:
      return "')'";
    case TOKEN_EQUAL:
      return "'='";
    case TOKEN_LESS_EQUAL:
      return "'<='";
    case TOKEN_NOT_EQUAL:
      return "'<>'";
    case TOKEN_LESS:
      return "'<'";
    case TOKEN_GREATER_EQUAL:
      return "'>='";
    case TOKEN_GREATER:
      return "'>'";
    case TOKEN_COMMA:
      return "','";
    case TOKEN_END:
      return "<конец текста>"_cp866;
    case TOKEN_STRING:
      return "<строка>"_cp866;
    case TOKEN_NAME:
      return "<имя>"_cp866;
    case TOKEN_NUMBER:
      return "<число>"_cp866;
    case TOKEN_NONE:
      break;
  }
  DOVREL_ASSERT(false);
  return {};
}

std::string Scanner::currentDescription(bool nameItself) const {
  if (nameItself && kind_ == TOKEN_NAME) return std::string(name());
  return std::string(description(kind_));
}

}  // namespace dovrel
