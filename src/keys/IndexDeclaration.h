// IndexDeclaration: one index of a table field as the structure text declares it —
//   index NAME STRING ;
// with its name, full name (field full name "." name), kind and field type — read from and
// written back to the structure text. A value; used on the query thread and at start-up.
#pragma once

#include <string>
#include <string_view>

#include "keys/FieldType.h"
#include "keys/IndexKind.h"

namespace dovrel {
class Scanner;
class TextBuffer;
}  // namespace dovrel

namespace dovrel::index {

class IndexDeclaration {
 public:
  IndexDeclaration(std::string name, std::string_view fieldFullName, FieldType fieldType,
                   IndexKind spec);

  // Reads `index` NAME STRING `;` with the scanner on the keyword; NAME is read as the name
  // "индекса", STRING is the kind text (IndexKind::parse). Throws the scanner's positioned
  // TextError for a syntax error and SemanticError for a bad kind text (checked once the
  // ';' is read). Whether the kind suits the field type is the caller's check (compatible).
  static IndexDeclaration read(Scanner& scanner, std::string_view fieldFullName,
                               FieldType fieldType);

  // Appends the declaration as the structure file holds it:
  //   indent "index " name " " counted kind text ";" CR LF
  void write(TextBuffer& out, std::string_view indent) const;

  const std::string& name() const { return name_; }
  // The field's full name, ".", the index name.
  const std::string& fullName() const { return fullName_; }
  FieldType fieldType() const { return fieldType_; }
  const IndexKind& spec() const { return spec_; }
  bool compatible() const { return spec_.compatible(fieldType_); }
  // The index file in `dataDirectory` (which ends with its separator): the full name and
  // ".index".
  std::string filePath(std::string_view dataDirectory) const;

 private:
  std::string name_;
  std::string fullName_;
  FieldType fieldType_;
  IndexKind spec_;
};

}  // namespace dovrel::index
