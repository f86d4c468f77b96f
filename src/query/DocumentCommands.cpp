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
#include "query/Answer.h"
#include "query/Parser.h"
#include "query/PrivilegeGate.h"
#include "storage/OpenMode.h"
#include "tables/Document.h"
#include "tables/NameSet.h"
#include "tables/Table.h"
#include "tables/TableGroup.h"
#include "tables/TableMember.h"

namespace dovrel::query {

namespace {

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
    requireRead(table, number, TablePrivilege::SELECT, user, "получения длины документа"_cp866,
                "получения длины удалённого документа"_cp866);
    writeNumberLine(answer, table.getDocumentLength(number));
    return;
  }
  if (scanner.isName("meta")) {
    scanner.next();
    scanner.expectCommandEnd("document");
    table.openFiles(OpenMode::openNormal);
    requireRead(table, number, TablePrivilege::META, user,
                "получения метаинформации документа"_cp866,
                "получения метаинформации удалённого документа"_cp866);
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
  requireRead(table, number, TablePrivilege::SELECT, user, "получения документа"_cp866,
              "получения удалённого документа"_cp866);
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
      requirePrivilege(*table->getSecurity(), TablePrivilege::UPDATE, *user,
                       "замены документа"_cp866);
    } else {
      requirePrivilege(*table->getSecurity(), TablePrivilege::INSERT, *user,
                       "добавления документа"_cp866);
    }
    // The clause is read to its end before anything is stored: a clause refused for its
    // syntax, or followed by anything but another clause, must leave no document behind.
    scanner.expectCommandEnd("add");
    table->openFiles(OpenMode::openNormal);
    const uint32_t number = replacing ? table->replaceDocument(replaced, *document, *user)
                                      : table->addDocument(*document, *user);
    writeOk(answer, "document ");
    writeNumberLine(answer, number);
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
    requirePrivilege(*table->getSecurity(), TablePrivilege::UPDATE, *user,
                     "удаления документа"_cp866);
    table->openFiles(OpenMode::openNormal);
    if (ifActual && table->isDocumentDeleted(number)) continue;
    table->deleteDocument(number, *user);
  } while (scanner.isName("document"));
  writeOk(answer);
}

void runGetDocument(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  writeOk(answer);
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
