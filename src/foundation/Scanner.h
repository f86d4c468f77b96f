// Scanner: the one lexer for query texts and stored texts (structures, documents, the
// security file). It turns code page 866 bytes into tokens, keeps the line and column of
// its position, and reports every syntax error as one positioned text:
//   "Ошибка в строке " line " столбце " column ": " message
// thrown as a TextError. Used by one thread at a time; the text must outlive the scanner
// (string tokens are views into it, never copies).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/Poolable.h"
#include "foundation/TextView.h"

namespace dovrel {

// Token kinds, in this order; each has the description used in messages.
enum TokenKind {
  TOKEN_LBRACE,         // {   "'{'"
  TOKEN_RBRACE,         // }   "'}'"
  TOKEN_SEMICOLON,      // ;   "';'"
  TOKEN_COLON,          // :   "':'"
  TOKEN_DOT,            // .   "'.'"
  TOKEN_LPAREN,         // (   "'('"
  TOKEN_RPAREN,         // )   "')'"
  TOKEN_EQUAL,          // =   "'='"
  TOKEN_LESS_EQUAL,     // <=  "'<='"
  TOKEN_NOT_EQUAL,      // <>  "'<>'"
  TOKEN_LESS,           // <   "'<'"
  TOKEN_GREATER_EQUAL,  // >=  "'>='"
  TOKEN_GREATER,        // >   "'>'"
  TOKEN_COMMA,          // ,   "','"
  TOKEN_END,            // end of text  "<конец текста>"
  TOKEN_STRING,         // counted or quoted string  "<строка>"
  TOKEN_NAME,           // name  "<имя>"
  TOKEN_NUMBER,         // unsigned 32-bit number  "<число>"
  TOKEN_NONE,           // before the first token; has no description (asserted)
};

class Scanner : public Object {
 public:
  // Positions at the first byte (line 1, column 1). The kind is TOKEN_NONE: call next()
  // before looking at tokens (or readLine() first, for the login lines of a query).
  explicit Scanner(TextView text);

  // Reads the next token; throws the positioned text on a lexical error.
  void next();
  // The raw bytes from the current character up to and including the next line feed (or
  // to the end); the current character becomes the byte after the line feed.
  TextView readLine();

  TokenKind kind() const { return kind_; }
  // The last name token, folded to lower case (at most 31 characters).
  std::string_view name() const { return std::string_view(name_, nameLen_); }
  uint32_t number() const { return number_; }
  TextView string() const { return string_; }
  uint32_t line() const { return line_; }
  uint32_t column() const { return column_; }

  // True when the current token is a name equal to the lower-case text.
  bool isName(std::string_view lowerCase) const;
  // Reads on when the current token has the kind; otherwise fails with
  // "ожидается " + description(kind) + " получено " + description(current).
  void expect(TokenKind kind);
  // Reads on when the current token is the name; otherwise fails with "ожидается " +
  // keyword + " получено " + (the name itself, or the description of the token).
  void expectKeyword(std::string_view keyword);
  // The ';' that ends a command, then the end of the request; otherwise fails as expect
  // does for the ';', or with "ожидается конец запроса получено " + (the name itself, or
  // the description of the token) for whatever follows it. Only blanks and line ends may
  // come after a command. For a command of several clauses, `nextClause` (lower case) is
  // the word that starts another clause, which may follow the ';' instead.
  void expectCommandEnd(std::string_view nextClause = {});
  // Fails as expectCommandEnd does when the current token is not the end of the request.
  void expectRequestEnd() const;
  // The current string (a view into the text), then reads on; otherwise
  // "ожидается строка получено " + description.
  TextView expectString();
  // The current name (lower case), then reads on; otherwise
  // "ожидается имя " + what + " получено " + description. `what` is code page 866.
  std::string expectName(std::string_view what);
  // The current number, then reads on; otherwise "ожидается число получено " + description.
  uint32_t expectNumber();

  // Throws TextError("Ошибка в строке " + line + " столбце " + column + ": " + message).
  // The message is code page 866 bytes.
  [[noreturn]] void error(std::string_view message) const;

  // The description of a token kind used in messages (code page 866); asserts on TOKEN_NONE.
  static std::string_view description(TokenKind kind);
  // The description of the current token; for a name, the name itself when `nameItself`.
  std::string currentDescription(bool nameItself = false) const;

 private:
  void advance();
  void readName();
  uint32_t readNumber();
  void readCounted();
  void readQuoted();

  const char* current_;
  const char* finish_;
  unsigned char ch_ = 0;
  uint32_t line_ = 1;
  uint32_t column_ = 0;
  char name_[32] = {};
  uint32_t nameLen_ = 0;
  uint32_t number_ = 0;
  TextView string_;
  TokenKind kind_ = TOKEN_NONE;
  // True once every byte has been read. ch_ is then 0, but a zero byte inside the text is
  // a character too (quoted strings and readLine tell the two apart).
  bool atEnd_ = false;
};

}  // namespace dovrel
