// Reading structures, documents and meta records from answer text. Pure; any thread.
#include "client/TableStructure.h"

#include "client/ClientError.h"

namespace dovrel::client {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

AnswerToken AnswerScanner::scan() {
  while (position_ < text_.size() && isSpace(text_[position_])) ++position_;
  if (position_ >= text_.size()) return {AnswerToken::END, ""};
  const char c = text_[position_];
  if (isWordChar(c)) {
    const std::size_t start = position_;
    while (position_ < text_.size() && isWordChar(text_[position_])) ++position_;
    return {AnswerToken::WORD, std::string(text_.substr(start, position_ - start))};
  }
  if (c == '#') {
    std::size_t i = position_ + 1;
    uint64_t count = 0;
    const std::size_t digitsStart = i;
    while (i < text_.size() && text_[i] >= '0' && text_[i] <= '9' && i - digitsStart < 10) {
      count = count * 10 + static_cast<uint64_t>(text_[i] - '0');
      ++i;
    }
    if (i == digitsStart || i >= text_.size() || text_[i] != '#' || count > text_.size() - i - 1 ||
        i + 1 + count >= text_.size() || text_[i + 1 + count] != '#') {
      throw ClientError("malformed counted string in the server's answer");
    }
    AnswerToken token{AnswerToken::COUNTED, std::string(text_.substr(i + 1, count))};
    position_ = i + 2 + count;
    return token;
  }
  ++position_;
  return {AnswerToken::PUNCT, std::string(1, c)};
}

AnswerToken AnswerScanner::next() {
  if (peeked_) {
    AnswerToken token = std::move(*peeked_);
    peeked_.reset();
    return token;
  }
  return scan();
}

const AnswerToken& AnswerScanner::peek() {
  if (!peeked_) peeked_ = scan();
  return *peeked_;
}

void AnswerScanner::expect(std::string_view word) {
  const AnswerToken token = next();
  if ((token.kind != AnswerToken::WORD && token.kind != AnswerToken::PUNCT) || token.text != word) {
    throw ClientError("unexpected answer from the server: expected " + std::string(word) +
                      ", got '" + token.text + "'");
  }
}

std::string AnswerScanner::expectWord() {
  AnswerToken token = next();
  if (token.kind != AnswerToken::WORD) {
    throw ClientError("unexpected answer from the server: expected a name, got '" + token.text +
                      "'");
  }
  return std::move(token.text);
}

std::string AnswerScanner::expectCounted() {
  AnswerToken token = next();
  if (token.kind != AnswerToken::COUNTED) {
    throw ClientError("unexpected answer from the server: expected a counted string");
  }
  return std::move(token.text);
}

const MemberSpec* TableStructure::find(std::string_view name) const {
  for (const MemberSpec& member : members) {
    if (member.name() == name) return &member;
  }
  return nullptr;
}

namespace {

FieldSpec readFieldDeclaration(AnswerScanner& scanner) {
  FieldSpec field;
  field.name = scanner.expectWord();
  scanner.expect("alias");
  scanner.expectCounted();
  scanner.expect(":");
  field.type = scanner.expectWord();
  if (scanner.peek().kind == AnswerToken::WORD && scanner.peek().text == "null") {
    scanner.next();
    field.nullable = true;
  }
  scanner.expect("{");
  // The indexes do not matter here: skip to the field's closing brace.
  for (;;) {
    const AnswerToken token = scanner.next();
    if (token.kind == AnswerToken::END) throw ClientError("truncated structure in the answer");
    if (token.kind == AnswerToken::PUNCT && token.text == "}") break;
  }
  scanner.expect(";");
  return field;
}

std::optional<std::string> readValue(AnswerScanner& scanner) {
  AnswerToken token = scanner.next();
  if (token.kind == AnswerToken::COUNTED) return std::move(token.text);
  if (token.kind == AnswerToken::WORD && token.text == "null") return std::nullopt;
  throw ClientError("unexpected value in the server's answer: '" + token.text + "'");
}

DocumentValue readFieldValue(AnswerScanner& scanner) {
  DocumentValue value;
  value.name = scanner.expectWord();
  scanner.expect("=");
  value.value = readValue(scanner);
  scanner.expect(";");
  return value;
}

}  // namespace

TableStructure parseTableStructure(std::string_view answer) {
  AnswerScanner scanner(answer);
  scanner.expect("OK");
  scanner.expect("table");
  TableStructure structure;
  structure.name = scanner.expectWord();
  scanner.expect("alias");
  scanner.expectCounted();
  scanner.expect("{");
  for (;;) {
    const std::string word = scanner.next().text;
    if (word == "}") break;
    MemberSpec member;
    if (word == "field") {
      member.field = readFieldDeclaration(scanner);
    } else if (word == "group") {
      member.isGroup = true;
      member.groupName = scanner.expectWord();
      scanner.expect("alias");
      scanner.expectCounted();
      scanner.expect("{");
      while (scanner.peek().text != "}") {
        scanner.expect("field");
        member.fields.push_back(readFieldDeclaration(scanner));
      }
      scanner.next();
      scanner.expect(";");
    } else {
      throw ClientError("unexpected answer from the server: '" + word + "' in a structure");
    }
    structure.members.push_back(std::move(member));
  }
  scanner.expect(";");
  return structure;
}

DocumentText readDocument(AnswerScanner& scanner) {
  scanner.expect("document");
  scanner.expect("{");
  DocumentText document;
  for (;;) {
    const std::string word = scanner.next().text;
    if (word == "}") break;
    DocumentMember member;
    if (word == "field") {
      member.field = readFieldValue(scanner);
    } else if (word == "group") {
      member.isGroup = true;
      member.groupName = scanner.expectWord();
      scanner.expect("{");
      while (scanner.peek().text != "}") {
        scanner.expect("field");
        member.fields.push_back(readFieldValue(scanner));
      }
      scanner.next();
      scanner.expect(";");
    } else {
      throw ClientError("unexpected answer from the server: '" + word + "' in a document");
    }
    document.push_back(std::move(member));
  }
  scanner.expect(";");
  return document;
}

bool readMetaIsLive(AnswerScanner& scanner) {
  scanner.expect("document");
  scanner.expect("{");
  bool live = true;
  while (scanner.peek().text != "}") {
    const std::string name = scanner.expectWord();
    scanner.expect("=");
    readValue(scanner);
    scanner.expect(";");
    if (name == "userdeleted" || name == "replacedby") live = false;
  }
  scanner.next();
  scanner.expect(";");
  return live;
}

}  // namespace dovrel::client
