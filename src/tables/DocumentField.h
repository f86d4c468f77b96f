// DocumentField: one named value of a document — any bytes, or null. Immutable once read,
// so a projection may share it with the document it was taken from. Query thread.
#pragma once

#include <memory>
#include <string>

#include "foundation/TextView.h"
#include "tables/DocumentMember.h"

namespace dovrel {

class Scanner;

class DocumentField : public DocumentMember {
 public:
  // Reads `field` NAME `=` ( `null` | STRING ) `;` with the scanner on the keyword; the
  // string's bytes are copied. Throws the scanner's TextError.
  static std::shared_ptr<DocumentField> read(Scanner& scanner);
  ~DocumentField() override;

  // Empty for a null value.
  TextView value() const { return TextView(value_); }
  bool isNull() const { return isNull_; }

  // indent "field " name " = " (null | counted value) ";" CR LF.
  void writeText(TextBuffer& out, std::string_view indent) const override;

 private:
  DocumentField(std::string name, std::string value, bool isNull);

  std::string value_;
  bool isNull_;
};

}  // namespace dovrel
