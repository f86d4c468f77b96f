// Table groups: their declaration text in both directions and the lookup of their fields.
// Query thread or start-up.
#include "tables/TableGroup.h"

#include <utility>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "tables/TableField.h"

namespace dovrel {

TableGroup::TableGroup(std::string name, std::string alias, std::string fullName)
    : TableMember(std::move(name), std::move(alias), std::move(fullName)) {}

TableGroup::~TableGroup() = default;

std::unique_ptr<TableGroup> TableGroup::read(Scanner& scanner, std::string_view prefix,
                                             const std::string& dataDirectory) {
  scanner.expectKeyword("group");
  std::string name = scanner.expectName("группы"_cp866);
  scanner.expectKeyword("alias");
  std::string alias = scanner.expectString().toString();
  std::string fullName = std::string(prefix) + name;
  std::unique_ptr<TableGroup> group(
      new TableGroup(std::move(name), std::move(alias), std::move(fullName)));
  scanner.expect(TOKEN_LBRACE);
  const std::string fieldPrefix = group->getFullName() + ".";
  while (scanner.isName("field")) {
    group->addField(TableField::read(scanner, fieldPrefix, dataDirectory));
  }
  scanner.expect(TOKEN_RBRACE);
  scanner.expect(TOKEN_SEMICOLON);
  return group;
}

void TableGroup::addField(std::unique_ptr<TableField> field) {
  if (fieldMap_.find(field->getName()) != fieldMap_.end()) {
    throw SemanticError(std::string("повторное объявление поля "_cp866) + field->getFullName());
  }
  fieldMap_.emplace(field->getName(), field.get());
  fields_.push_back(std::move(field));
}

TableField* TableGroup::findField(std::string_view name) const {
  auto found = fieldMap_.find(name);
  return found == fieldMap_.end() ? nullptr : found->second;
}

void TableGroup::clearVisited() {
  for (const auto& field : fields_) field->setVisited(false);
}

TableField* TableGroup::findUnvisited() const {
  for (const auto& field : fields_) {
    if (!field->isVisited()) return field.get();
  }
  return nullptr;
}

void TableGroup::writeText(TextBuffer& out, std::string_view indent) const {
  out.append(indent);
  out.append(std::string_view("group "));
  out.append(getName());
  out.append(std::string_view(" alias "));
  out.appendCounted(std::string_view(alias()));
  out.append(std::string_view(" {\r\n"));
  const std::string inner = std::string(indent) + "   ";
  for (const auto& field : fields_) field->writeText(out, inner);
  out.append(indent);
  out.append(std::string_view("};\r\n"));
}

}  // namespace dovrel
