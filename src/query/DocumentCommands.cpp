// The document commands: add (and replace), delete, and the document forms of get. Every
// clause runs to its end before the next one is read, so a refusal in a later clause
// leaves the earlier ones done. Query thread only.
#include "query/DocumentCommands.h"

#include <memory>
#include <string>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "principals/TablePrivilege.h"
#include "principals/TableSecurity.h"
#include "principals/User.h"
#include "query/Parser.h"
#include "storage/OpenMode.h"
#include "tables/Document.h"
#include "tables/NameSet.h"
#include "tables/Table.h"
#include "tables/TableGroup.h"
#include "tables/TableMember.h"

namespace dovrel::query {

namespace {

constexpr std::string_view OK_LINE = "OK\r\n";
constexpr std::string_view LINE_END = "\r\n";

bool allows(const Table& table, const TablePrivilege& privilege, const User& user) {
  return table.getSecurity()->allows(privilege, user);
}

// The privilege check of a read: `privilege` for a live document, `privilege` and history
// for a deleted one. The number must exist (the deleted test refuses it otherwise).
void checkRead(Table& table, uint32_t number, const TablePrivilege& privilege, const User& user,
               std::string_view liveMessage, std::string_view deletedMessage) {
  if (table.isDocumentDeleted(number)) {
    if (!allows(table, privilege, user) || !allows(table, TablePrivilege::HISTORY, user)) {
      throw SemanticError(deletedMessage);
    }
  } else if (!allows(table, privilege, user)) {
    throw SemanticError(liveMessage);
  }
}

[[noreturn]] void nameNotFound(std::string_view name, const Table& table) {
  std::string message("имя "_cp866);
  message += name;
  message += " в таблице "_cp866;
  message += table.getName();
  message += " не найдено"_cp866;
  throw SemanticError(message);
}

// only ITEM {, ITEM}: the scanner stands on the first item.
void readOnlyItems(Scanner& scanner, const Table& table, NameSet& names) {
  for (;;) {
    const std::string name = scanner.expectName("члена таблицы"_cp866);
    const TableMember* member = table.findMember(name);
    if (member == nullptr) nameNotFound(name, table);
    const auto* group = dynamic_cast<const TableGroup*>(member);
    if (group != nullptr && scanner.kind() == TOKEN_DOT) {
      scanner.next();
      const std::string field = scanner.expectName("поля"_cp866);
      if (group->findField(field) == nullptr) nameNotFound(name + "." + field, table);
      names.addGroupField(name, field);
    } else {
      names.addName(name);
    }
    if (scanner.kind() != TOKEN_COMMA) return;
    scanner.next();
  }
}

// One clause of get document, with the scanner after NAME.
void getDocumentClause(Parser& parser, Table& table, uint32_t number, const User& user,
                       TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  if (scanner.isName("length")) {
    scanner.next();
    scanner.expectCommandEnd("document");
    table.openFiles(OpenMode::openNormal);
    checkRead(table, number, TablePrivilege::SELECT, user,
              "у пользователя недостаточно прав для получения длины документа"_cp866,
              "у пользователя недостаточно прав для получения длины удалённого документа"_cp866);
    answer.appendDecimal(table.getDocumentLength(number));
    answer.append(LINE_END);
    return;
  }
  if (scanner.isName("meta")) {
    scanner.next();
    scanner.expectCommandEnd("document");
    table.openFiles(OpenMode::openNormal);
    checkRead(
        table, number, TablePrivilege::META, user,
        "у пользователя недостаточно прав для получения метаинформации документа"_cp866,
        "у пользователя недостаточно прав для получения метаинформации удалённого документа"_cp866);
    table.getMeta(number, answer);
    return;
  }
  std::shared_ptr<NameSet> names;
  if (scanner.isName("only")) {
    scanner.next();
    names = std::shared_ptr<NameSet>(new NameSet());
    readOnlyItems(scanner, table, *names);
  }
  scanner.expectCommandEnd("document");
  table.openFiles(OpenMode::openNormal);
  checkRead(table, number, TablePrivilege::SELECT, user,
            "у пользователя недостаточно прав для получения документа"_cp866,
            "у пользователя недостаточно прав для получения удалённого документа"_cp866);
  std::unique_ptr<Document> document = Document::readStored(table, number);
  if (names != nullptr) document = document->project(*names);
  document->writeText(answer);
}

}  // namespace

void runAdd(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  do {
    scanner.expectKeyword("add");
    const std::unique_ptr<Document> document = Document::read(scanner);
    scanner.expectKeyword("to");
    scanner.expectKeyword("table");
    const std::shared_ptr<Table> table = parser.readTable();
    document->validate(*table);
    const bool replacing = scanner.isName("replacing");
    uint32_t replaced = 0;
    if (replacing) {
      scanner.next();
      replaced = scanner.expectNumber();
      if (!allows(*table, TablePrivilege::UPDATE, *user)) {
        throw SemanticError("у пользователя недостаточно прав для замены документа"_cp866);
      }
    } else if (!allows(*table, TablePrivilege::INSERT, *user)) {
      throw SemanticError("у пользователя недостаточно прав для добавления документа"_cp866);
    }
    // The clause is read to its end before anything is stored: a clause refused for its
    // syntax, or followed by anything but another clause, must leave no document behind.
    scanner.expectCommandEnd("add");
    table->openFiles(OpenMode::openNormal);
    const uint32_t number = replacing ? table->replaceDocument(replaced, *document, *user)
                                      : table->addDocument(*document, *user);
    answer.append(OK_LINE);
    answer.append(std::string_view("document "));
    answer.appendDecimal(number);
    answer.append(LINE_END);
  } while (scanner.isName("add"));
}

void runDelete(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("delete");
  bool ifActual = false;
  if (scanner.isName("if")) {
    scanner.next();
    scanner.expectKeyword("actual");
    ifActual = true;
  }
  do {
    scanner.expectKeyword("document");
    const uint32_t number = scanner.expectNumber();
    scanner.expectKeyword("from");
    scanner.expectKeyword("table");
    const std::shared_ptr<Table> table = parser.readTable();
    scanner.expectCommandEnd("document");
    if (!allows(*table, TablePrivilege::UPDATE, *user)) {
      throw SemanticError("у пользователя недостаточно прав для удаления документа"_cp866);
    }
    table->openFiles(OpenMode::openNormal);
    if (ifActual && table->isDocumentDeleted(number)) continue;
    table->deleteDocument(number, *user);
  } while (scanner.isName("document"));
  answer.append(OK_LINE);
}

void runGetDocument(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  answer.append(OK_LINE);
  do {
    scanner.expectKeyword("document");
    const uint32_t number = scanner.expectNumber();
    scanner.expectKeyword("from");
    scanner.expectKeyword("table");
    const std::shared_ptr<Table> table = parser.readTable();
    getDocumentClause(parser, *table, number, *user, answer);
  } while (scanner.isName("document"));
}

}  // namespace dovrel::query
