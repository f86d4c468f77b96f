// Document groups: reading and writing a group of fields. Query thread.
#include "tables/DocumentGroup.h"

#include <utility>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "tables/DocumentField.h"

namespace dovrel {

DocumentGroup::DocumentGroup(std::string name) : DocumentMember(std::move(name)) {}

DocumentGroup::~DocumentGroup() = default;

std::shared_ptr<DocumentGroup> DocumentGroup::create(std::string name) {
  return std::shared_ptr<DocumentGroup>(new DocumentGroup(std::move(name)));
}

std::shared_ptr<DocumentGroup> DocumentGroup::read(Scanner& scanner) {
  scanner.expectKeyword("group");
  std::shared_ptr<DocumentGroup> group = create(scanner.expectName("группы"_cp866));
  scanner.expect(TOKEN_LBRACE);
  while (scanner.isName("field")) group->addField(DocumentField::read(scanner));
  scanner.expect(TOKEN_RBRACE);
  scanner.expect(TOKEN_SEMICOLON);
  return group;
}

std::shared_ptr<DocumentField> DocumentGroup::findField(std::string_view name) const {
  auto found = fieldMap_.find(name);
  return found == fieldMap_.end() ? nullptr : found->second;
}

void DocumentGroup::addField(std::shared_ptr<DocumentField> field) {
  if (fieldMap_.find(field->getName()) != fieldMap_.end()) {
    throw SemanticError(std::string("повторное использование имени "_cp866) + field->getName() +
                        std::string(" в одной группе"_cp866));
  }
  fieldMap_.emplace(field->getName(), field);
  fields_.push_back(std::move(field));
}

void DocumentGroup::writeText(TextBuffer& out, std::string_view indent) const {
  out.append(indent);
  out.append(std::string_view("group "));
  out.append(getName());
  out.append(std::string_view(" {\r\n"));
  const std::string inner = std::string(indent) + "   ";
  for (const auto& field : fields_) field->writeText(out, inner);
  out.append(indent);
  out.append(std::string_view("};\r\n"));
}

}  // namespace dovrel
