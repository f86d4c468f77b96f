// Reading and writing index declarations of the structure text. Query thread, or start-up.
#include "keys/IndexDeclaration.h"

#include "foundation/Cp866.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"

namespace dovrel::index {

IndexDeclaration::IndexDeclaration(std::string name, std::string_view fieldFullName,
                                   FieldType fieldType, IndexKind spec)
    : name_(std::move(name)), fieldType_(fieldType), spec_(spec) {
  fullName_.reserve(fieldFullName.size() + 1 + name_.size());
  fullName_ += fieldFullName;
  fullName_ += '.';
  fullName_ += name_;
}

IndexDeclaration IndexDeclaration::read(Scanner& scanner, std::string_view fieldFullName,
                                        FieldType fieldType) {
  scanner.expectKeyword("index");
  std::string name = scanner.expectName("индекса"_cp866);
  std::string kindText = scanner.expectString().toString();
  scanner.expect(TOKEN_SEMICOLON);
  std::string fullName = std::string(fieldFullName) + '.' + name;
  IndexKind spec = IndexKind::parse(kindText, fullName);
  return IndexDeclaration(std::move(name), fieldFullName, fieldType, spec);
}

void IndexDeclaration::write(TextBuffer& out, std::string_view indent) const {
  out.append(indent);
  out.append(std::string_view("index "));
  out.append(name_);
  out.appendByte(' ');
  out.appendCounted(std::string_view(spec_.kindText()));
  out.append(std::string_view(";\r\n"));
}

std::string IndexDeclaration::filePath(std::string_view dataDirectory) const {
  std::string path(dataDirectory);
  path += fullName_;
  path += ".index";
  return path;
}

}  // namespace dovrel::index
