// The pieces of the server's answers that import and export read: a scanner over the
// canonical text (names, counted strings, punctuation), a table's structure as `get table T
// structure` answers it, and documents and meta records as `get document` answers them.
// Pure functions on code page 866 answer bytes; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dovrel::client {

struct AnswerToken {
  enum Kind { WORD, COUNTED, PUNCT, END } kind = END;
  std::string text;  // a word, a counted string's bytes, or the punctuation character
};

// Splits answer text into tokens; blanks, tabs, CR and LF separate them. Throws ClientError
// on a malformed counted string.
class AnswerScanner {
 public:
  explicit AnswerScanner(std::string_view text) : text_(text) {}
  AnswerToken next();
  const AnswerToken& peek();
  // The next token, which must be the word `word` (or punctuation `word`); throws otherwise.
  void expect(std::string_view word);
  std::string expectWord();
  std::string expectCounted();

 private:
  AnswerToken scan();
  std::string_view text_;
  std::size_t position_ = 0;
  std::optional<AnswerToken> peeked_;
};

struct FieldSpec {
  std::string name;  // lower case, as the server stores it
  std::string type;  // text, binary, int64, double, date, time, datetime, file
  bool nullable = false;
};

struct MemberSpec {
  bool isGroup = false;
  FieldSpec field;                // a field member
  std::string groupName;          // a group member
  std::vector<FieldSpec> fields;  // a group's fields
  const std::string& name() const { return isGroup ? groupName : field.name; }
};

struct TableStructure {
  std::string name;
  std::vector<MemberSpec> members;  // in declaration order
  const MemberSpec* find(std::string_view name) const;
};

// The structure in an OK answer to `get table T structure;`. Throws ClientError when the
// text is not one.
TableStructure parseTableStructure(std::string_view answer);

// One value of a document: the field's value bytes (code page of the server), or null.
struct DocumentValue {
  std::string name;
  std::optional<std::string> value;
};
struct DocumentMember {
  bool isGroup = false;
  DocumentValue field;
  std::string groupName;
  std::vector<DocumentValue> fields;
};
using DocumentText = std::vector<DocumentMember>;

// Reads one "document { ... };" block from `scanner` (an OK answer to several get document
// clauses is "OK" and then one block per clause).
DocumentText readDocument(AnswerScanner& scanner);
// Reads one "document { name = value; ... };" meta block: whether the document
// is live (neither deleted nor replaced).
bool readMetaIsLive(AnswerScanner& scanner);

}  // namespace dovrel::client
