// Reading a member and index reference of the search and index commands. Query thread only.
#include "query/IndexReference.h"

#include <string>
#include <string_view>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "keys/TableIndex.h"
#include "tables/Table.h"
#include "tables/TableField.h"
#include "tables/TableGroup.h"
#include "tables/TableMember.h"

namespace dovrel::query {

namespace {

[[noreturn]] void refuseName(std::string_view name, std::string_view middle, std::string_view owner,
                             std::string_view tail = {}) {
  std::string message("имя "_cp866);
  message += name;
  message += middle;
  message += owner;
  message += tail;
  throw SemanticError(std::move(message));
}

}  // namespace

IndexReference IndexReference::read(Scanner& scanner, const Table& table, Context context) {
  IndexReference reference;
  const bool inCondition = context == Context::CONDITION;
  const std::string_view what = inCondition ? "поля или группы"_cp866 : "группы или поля"_cp866;
  std::string name = scanner.expectName(what);
  TableMember* member = table.findMember(name);
  if (member == nullptr && context != Context::AFTER_TABLE && name == table.getName()) {
    // The table's own name before the member, as get index and optimize write it.
    scanner.expect(TOKEN_DOT);
    name = scanner.expectName(what);
    member = table.findMember(name);
  }
  if (member == nullptr) {
    if (inCondition) {
      refuseName(name, " не принадлежит ни полю, ни группе таблицы "_cp866, table.getName());
    }
    refuseName(name, " в таблице "_cp866, table.getName(), " не найдено"_cp866);
  }
  reference.field = dynamic_cast<TableField*>(member);
  if (reference.field == nullptr) {
    // Groups hold fields only, so one more name always reaches a field.
    const auto* group = dynamic_cast<const TableGroup*>(member);
    DOVREL_ASSERT_TEXT(group != nullptr, "member is a field or a group");
    scanner.expect(TOKEN_DOT);
    const std::string fieldName = scanner.expectName("поля"_cp866);
    reference.field = group->findField(fieldName);
    if (reference.field == nullptr) {
      refuseName(fieldName, " не принадлежит полю группы "_cp866, group->getFullName());
    }
  }
  scanner.expect(TOKEN_DOT);
  const std::string indexName = scanner.expectName("индекса"_cp866);
  reference.index = reference.field->findIndex(indexName);
  if (reference.index == nullptr) {
    refuseName(indexName, " не принадлежит индексу поля "_cp866, reference.field->getFullName());
  }
  return reference;
}

}  // namespace dovrel::query
