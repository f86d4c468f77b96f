// Document fields: reading and writing one value. Query thread.
#include "tables/DocumentField.h"

#include <utility>

#include "foundation/Cp866.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"

namespace dovrel {

DocumentField::DocumentField(std::string name, std::string value, bool isNull)
    : DocumentMember(std::move(name)), value_(std::move(value)), isNull_(isNull) {}

DocumentField::~DocumentField() = default;

std::shared_ptr<DocumentField> DocumentField::read(Scanner& scanner) {
  scanner.expectKeyword("field");
  std::string name = scanner.expectName("поля"_cp866);
  scanner.expect(TOKEN_EQUAL);
  std::string value;
  bool isNull = false;
  if (scanner.isName("null")) {
    scanner.next();
    isNull = true;
  } else {
    value = scanner.expectString().toString();
  }
  scanner.expect(TOKEN_SEMICOLON);
  return std::shared_ptr<DocumentField>(
      new DocumentField(std::move(name), std::move(value), isNull));
}

void DocumentField::writeText(TextBuffer& out, std::string_view indent) const {
  out.append(indent);
  out.append(std::string_view("field "));
  out.append(getName());
  out.append(std::string_view(" = "));
  if (isNull_) {
    out.append(std::string_view("null"));
  } else {
    out.appendCounted(std::string_view(value_));
  }
  out.append(std::string_view(";\r\n"));
}

}  // namespace dovrel
