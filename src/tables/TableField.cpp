// Table fields: their declaration text in both directions, the type check of values and
// the hand-over of values to the field's indexes. Query thread or start-up.
#include "tables/TableField.h"

#include <utility>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "keys/IndexKeyConverter.h"
#include "keys/TableIndex.h"

namespace dovrel {

TableField::TableField(std::string name, std::string alias, std::string fullName,
                       index::FieldType type, bool nullAllowed)
    : TableMember(std::move(name), std::move(alias), std::move(fullName)),
      type_(type),
      nullAllowed_(nullAllowed) {}

TableField::~TableField() = default;

std::unique_ptr<TableField> TableField::read(Scanner& scanner, std::string_view prefix,
                                             const std::string& dataDirectory) {
  scanner.expectKeyword("field");
  std::string name = scanner.expectName("поля"_cp866);
  scanner.expectKeyword("alias");
  std::string alias = scanner.expectString().toString();
  scanner.expect(TOKEN_COLON);
  std::string typeWord = scanner.expectName("типа"_cp866);
  bool nullAllowed = false;
  if (scanner.isName("null")) {
    scanner.next();
    nullAllowed = true;
  }
  std::string fullName = std::string(prefix) + name;
  const std::optional<index::FieldType> type = index::fieldTypeFromKeyword(typeWord);
  if (!type) {
    throw SemanticError(typeWord + std::string(" - недопустимый тип поля "_cp866) + fullName);
  }
  std::unique_ptr<TableField> field(
      new TableField(std::move(name), std::move(alias), std::move(fullName), *type, nullAllowed));
  scanner.expect(TOKEN_LBRACE);
  while (scanner.isName("index")) {
    field->addIndex(index::TableIndex::read(scanner, field->getFullName(), *type, dataDirectory));
  }
  scanner.expect(TOKEN_RBRACE);
  scanner.expect(TOKEN_SEMICOLON);
  return field;
}

void TableField::addIndex(std::unique_ptr<index::TableIndex> added) {
  if (!added->compatible()) {
    throw SemanticError(added->fullName() + std::string(" - вид индекса "_cp866) +
                        added->baseKind() + std::string(" несовместим с типом поля "_cp866) +
                        std::string(typeKeyword()));
  }
  if (indexMap_.find(added->name()) != indexMap_.end()) {
    throw SemanticError(std::string("повторное объявление индекса "_cp866) + added->fullName());
  }
  indexMap_.emplace(added->name(), added.get());
  indexes_.push_back(std::move(added));
}

index::TableIndex* TableField::findIndex(std::string_view name) const {
  auto found = indexMap_.find(name);
  return found == indexMap_.end() ? nullptr : found->second;
}

bool TableField::fileHeaderFits(TextView value) {
  constexpr std::string_view WANTED = "File-Path: ";
  const std::string_view bytes = value.view();
  if (bytes.size() < 2) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = bytes.find("\r\n", start);
    if (end == std::string_view::npos) return false;  // the value ended before the line
    const std::string_view line = bytes.substr(start, end - start);
    if (line.empty()) return false;  // the header ended before the line
    if (line.starts_with(WANTED)) {
      const std::string_view path = line.substr(WANTED.size());
      if (path.empty() || path.find_first_of("?/") != std::string_view::npos) return false;
      return bytes.substr(end + 2, 2) == "\r\n";
    }
    start = end + 2;
  }
}

bool TableField::checkValue(TextView value) const {
  switch (type_) {
    case index::FieldType::TEXT:
    case index::FieldType::BINARY:
      return true;
    case index::FieldType::FILE:
      return fileHeaderFits(value);
    default:
      return index::IndexKeyConverter::fits(type_, value);
  }
}

void TableField::indexValue(TextView value, uint32_t document, index::InsertMode mode) {
  for (const auto& each : indexes_) each->addDocument(document, value, mode);
}

void TableField::writeText(TextBuffer& out, std::string_view indent) const {
  out.append(indent);
  out.append(std::string_view("field "));
  out.append(getName());
  out.append(std::string_view(" alias "));
  out.appendCounted(std::string_view(alias()));
  out.append(std::string_view(" : "));
  out.append(typeKeyword());
  if (nullAllowed_) out.append(std::string_view(" null"));
  out.append(std::string_view(" {\r\n"));
  const std::string inner = std::string(indent) + "   ";
  for (const auto& each : indexes_) each->write(out, inner);
  out.append(indent);
  out.append(std::string_view("};\r\n"));
}

}  // namespace dovrel
