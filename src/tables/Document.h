// Document: the unit a table stores — named field values, some gathered in groups — read
// from a query or from a table, checked against the table's structure, written in its
// canonical text and projected onto selected names (the table records and withdraws its
// index keys). Built per query; used on the thread that runs queries.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Poolable.h"

namespace dovrel {

class DocumentField;
class DocumentGroup;
class DocumentMember;
class NameSet;
class Scanner;
class Table;
class TextBuffer;

class Document : public Object {
 public:
  // Reads `document` `{` { field | group } `}` with the scanner on the keyword; reading
  // stops after the '}'. Throws the scanner's TextError, or SemanticError:
  //   "повторное использование имени поля " + name + " в одном документе"
  //   "совпадение имени поля и группы " + name
  //   "повторное использование имени группы " + name
  //   "повторное использование имени " + name + " в одной группе"
  static std::unique_ptr<Document> read(Scanner& scanner);
  // Reads document `number` of the table (whose files must be open) from its stored text.
  // The table's errors for a missing number or a failed read.
  static std::unique_ptr<Document> readStored(Table& table, uint32_t number);
  ~Document() override;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // In text order, fields and groups interleaved as written.
  const std::vector<std::shared_ptr<DocumentMember>>& members() const { return members_; }
  std::shared_ptr<DocumentField> findField(std::string_view name) const;
  std::shared_ptr<DocumentGroup> findGroup(std::string_view name) const;

  // Appends the canonical text: "document {" CR LF, the members at three spaces of indent,
  // "};" CR LF. This is what a table stores.
  void writeText(TextBuffer& out) const;

  // Checks the document against the table's structure; the first failure is a
  // SemanticError with the message of its check (see the .cpp for their order). Uses the
  // visited flags of the table's fields.
  void validate(Table& table) const;

  // A new document holding, in this document's order, each top-level field named in
  // `names`, each group named whole, and for a group of which only fields were named, a
  // group of the same name with just those fields. Values are shared, not copied.
  std::unique_ptr<Document> project(const NameSet& names) const;

 private:
  Document();
  void addField(std::shared_ptr<DocumentField> field);
  void addGroup(std::shared_ptr<DocumentGroup> group);

  std::vector<std::shared_ptr<DocumentMember>> members_;
  std::map<std::string, std::shared_ptr<DocumentField>, std::less<>> fieldMap_;
  std::map<std::string, std::shared_ptr<DocumentGroup>, std::less<>> groupMap_;
};

}  // namespace dovrel
