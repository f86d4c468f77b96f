// Documents: the document text in both directions, the check against a table's structure,
// and projection. Query thread.
//
// The check (validate) runs in this order and stops at the first failure:
//   1. the table clears the visited flags of its top-level fields;
//   2. each member in text order: a field must be a top-level field of the table (not a
//      group), is marked visited and its value checked; a group must be a group of the
//      table (not a field), and must supply every field of that group;
//   3. every top-level field of the table must have been supplied (null is written as
//      null, never left out). Groups of the table may be left out whole.
#include "tables/Document.h"

#include <utility>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "tables/DocumentField.h"
#include "tables/DocumentGroup.h"
#include "tables/NameSet.h"
#include "tables/Table.h"
#include "tables/TableField.h"
#include "tables/TableGroup.h"

namespace dovrel {

namespace {

[[noreturn]] void refuse(std::string_view before, std::string_view name,
                         std::string_view after = {}) {
  std::string message(before);
  message += name;
  message += after;
  throw SemanticError(std::move(message));
}

constexpr std::string_view MISSING_FIELD =
    "структура документа не соответствует структуре таблицы - отсутствует поле "_cp866;

// The value against its table field: null only where allowed, anything else must fit.
void checkValue(const DocumentField& field, const TableField& tableField) {
  if (field.isNull()) {
    if (!tableField.nullAllowed()) {
      refuse("поле "_cp866, field.getName(), " не может иметь значение null"_cp866);
    }
    return;
  }
  if (!tableField.checkValue(field.value())) {
    std::string message("значение "_cp866);
    message += field.value().view();
    message += " поля "_cp866;
    message += field.getName();
    message += " не соответствует типу поля"_cp866;
    throw SemanticError(std::move(message));
  }
}

void checkGroup(const DocumentGroup& group, TableGroup& tableGroup) {
  tableGroup.clearVisited();
  for (const auto& field : group.fields()) {
    TableField* tableField = tableGroup.findField(field->getName());
    if (tableField == nullptr) {
      refuse("в документе присутствует, а в описании таблицы отсутствует поле "_cp866,
             group.getName() + "." + field->getName());
    }
    tableField->setVisited(true);
    checkValue(*field, *tableField);
  }
  if (TableField* missing = tableGroup.findUnvisited()) {
    refuse(MISSING_FIELD, group.getName() + "." + missing->getName());
  }
}

}  // namespace

Document::Document() = default;

Document::~Document() = default;

std::unique_ptr<Document> Document::read(Scanner& scanner) {
  std::unique_ptr<Document> document(new Document());
  scanner.expectKeyword("document");
  scanner.expect(TOKEN_LBRACE);
  for (;;) {
    if (scanner.isName("field")) {
      document->addField(DocumentField::read(scanner));
    } else if (scanner.isName("group")) {
      document->addGroup(DocumentGroup::read(scanner));
    } else {
      break;
    }
  }
  scanner.expect(TOKEN_RBRACE);
  return document;
}

std::unique_ptr<Document> Document::readStored(Table& table, uint32_t number) {
  TextBuffer text;
  table.getDocument(number, text);
  Scanner scanner(text.view());
  scanner.next();
  return read(scanner);
}

void Document::addField(std::shared_ptr<DocumentField> field) {
  const std::string& name = field->getName();
  if (fieldMap_.contains(name)) {
    refuse("повторное использование имени поля "_cp866, name, " в одном документе"_cp866);
  }
  if (groupMap_.contains(name)) refuse("совпадение имени поля и группы "_cp866, name);
  fieldMap_.emplace(name, field);
  members_.push_back(std::move(field));
}

void Document::addGroup(std::shared_ptr<DocumentGroup> group) {
  const std::string& name = group->getName();
  if (fieldMap_.contains(name)) refuse("совпадение имени поля и группы "_cp866, name);
  // Two groups of one name would be checked and indexed one after the other, and a reader
  // could not tell which one a name refers to.
  if (groupMap_.contains(name)) refuse("повторное использование имени группы "_cp866, name);
  groupMap_.emplace(name, group);
  members_.push_back(std::move(group));
}

std::shared_ptr<DocumentField> Document::findField(std::string_view name) const {
  auto found = fieldMap_.find(name);
  return found == fieldMap_.end() ? nullptr : found->second;
}

std::shared_ptr<DocumentGroup> Document::findGroup(std::string_view name) const {
  auto found = groupMap_.find(name);
  return found == groupMap_.end() ? nullptr : found->second;
}

void Document::writeText(TextBuffer& out) const {
  out.append(std::string_view("document {\r\n"));
  for (const auto& member : members_) member->writeText(out, "   ");
  out.append(std::string_view("};\r\n"));
}

void Document::validate(Table& table) const {
  table.clearVisited();
  for (const auto& member : members_) {
    const std::string& name = member->getName();
    TableMember* tableMember = table.findMember(name);
    if (auto field = std::dynamic_pointer_cast<DocumentField>(member)) {
      if (tableMember == nullptr) {
        refuse("в документе присутствует, а в таблице отсутствует поле верхнего уровня "_cp866,
               name);
      }
      auto* tableField = dynamic_cast<TableField*>(tableMember);
      if (tableField == nullptr) {
        refuse("имя "_cp866, name, " в документе принадлежит полю, а в таблице группе"_cp866);
      }
      tableField->setVisited(true);
      checkValue(*field, *tableField);
    } else {
      if (tableMember == nullptr) {
        refuse("в документе присутствует, а в таблице отсутствует группа "_cp866, name);
      }
      auto* tableGroup = dynamic_cast<TableGroup*>(tableMember);
      if (tableGroup == nullptr) {
        refuse("имя "_cp866, name, " в документе принадлежит группе, а в таблице полю"_cp866);
      }
      checkGroup(static_cast<const DocumentGroup&>(*member), *tableGroup);
    }
  }
  if (TableField* missing = table.findUnvisited()) {
    refuse(MISSING_FIELD, missing->getName());
  }
}

std::unique_ptr<Document> Document::project(const NameSet& names) const {
  std::unique_ptr<Document> projection(new Document());
  for (const auto& member : members_) {
    const std::string& name = member->getName();
    if (auto field = std::dynamic_pointer_cast<DocumentField>(member)) {
      if (names.containsName(name)) projection->addField(field);
      continue;
    }
    auto group = std::static_pointer_cast<DocumentGroup>(member);
    if (names.containsName(name)) {
      projection->addGroup(group);
    } else if (names.containsGroup(name)) {
      std::shared_ptr<DocumentGroup> part = DocumentGroup::create(name);
      for (const auto& groupField : group->fields()) {
        if (names.containsGroupField(name, groupField->getName())) part->addField(groupField);
      }
      projection->addGroup(std::move(part));
    }
  }
  return projection;
}

}  // namespace dovrel
