// The table commands and commit: create, drop and describe tables, and make every change
// since the last commit durable. Query thread only.
#include "query/TableCommands.h"

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
#include "security/Security.h"
#include "storage/OpenMode.h"
#include "tables/Table.h"
#include "tables/TableSet.h"

namespace dovrel::query {

namespace {

// get table NAME FORM ;  — each form with the scanner after its word.
void writeStructure(Scanner& scanner, Table& table, const User& user, TextBuffer& answer) {
  requirePrivilege(*table.getSecurity(), TablePrivilege::STRUCTURE, user,
                   "получения структуры таблицы"_cp866);
  scanner.expectCommandEnd();
  writeOk(answer);
  table.writeText(answer);
}

void writeLength(Scanner& scanner, Table& table, const User& user, TextBuffer& answer) {
  requirePrivilege(*table.getSecurity(), TablePrivilege::SELECT, user,
                   "получения длины таблицы"_cp866);
  scanner.expectCommandEnd();
  table.openFiles(OpenMode::openNormal);
  writeOk(answer);
  writeNumberLine(answer, table.getLiveCount());
  writeNumberLine(answer, table.getNumberCount());
}

void writePrivileges(Scanner& scanner, Table& table, const User& user, TextBuffer& answer) {
  TableSecurity& security = *table.getSecurity();
  requireModify(security, user, "получения списка привилегий таблицы"_cp866);
  scanner.expectCommandEnd();
  writeOk(answer);
  security.write("", answer);
}

// The forms that describe a single table, dispatched like the commands.
struct TableForm {
  std::string_view word;
  void (*write)(Scanner& scanner, Table& table, const User& user, TextBuffer& answer);
};

constexpr TableForm TABLE_FORMS[] = {
    {"structure", writeStructure},
    {"length", writeLength},
    {"privileges", writePrivileges},
};

// The form whose word the scanner stands on, or null.
const TableForm* findTableForm(const Scanner& scanner) {
  for (const TableForm& form : TABLE_FORMS) {
    if (scanner.isName(form.word)) return &form;
  }
  return nullptr;
}

bool isTableForm(const Scanner& scanner) { return findTableForm(scanner) != nullptr; }

// get table NAME structure | length | privileges ;  with the scanner on the form's word.
void describeTable(Parser& parser, Table& table, const User& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  const TableForm* form = findTableForm(scanner);
  if (form == nullptr) throw SemanticError("ожидается length, structure или privileges"_cp866);
  scanner.next();
  form->write(scanner, table, user, answer);
}

// names [aliases] ; and structures ;  — the lists of the tables the user may see.
template <class Write>
void listTables(Scanner& scanner, TextBuffer& answer, Write&& write) {
  scanner.expectCommandEnd();
  // The count comes first but is known only after the listing.
  TextBuffer listing;
  const uint32_t count = write(listing);
  writeOk(answer);
  writeNumberLine(answer, count);
  answer.append(listing.view());
}

}  // namespace

void runCreateTable(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  requireCreator(*user, "создания таблицы"_cp866);
  TableSet& tables = parser.tables();
  // The whole declaration is read first, so its own errors are reported before a clash.
  std::shared_ptr<Table> table = Table::read(parser.scanner(), tables.dataDirectory());
  parser.scanner().expectRequestEnd();
  if (tables.hasTable(table->getName())) {
    std::string message("таблица "_cp866);
    message += table->getName();
    message += " уже существует"_cp866;
    throw SemanticError(message);
  }
  table->setSecurity(std::shared_ptr<TableSecurity>(new TableSecurity(table->getName(), user)));
  tables.addTable(table);
  parser.security().save();
  // A failure here is a DiskOrMemoryError: the parser stops serving, and the marker left
  // behind makes the next start remove whatever files were made.
  table->createFiles();
  writeOk(answer);
}

void runDropTable(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("table");
  std::shared_ptr<Table> table = parser.readTable();
  requireModify(*table->getSecurity(), *user, "удаления таблицы"_cp866);
  scanner.expectCommandEnd();
  const std::string name = table->getName();
  table.reset();
  parser.tables().dropTable(name);
  parser.security().save();
  writeOk(answer);
}

void runGetTable(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  const TableSet& tables = parser.tables();
  scanner.expectKeyword("table");
  // "names" and "structures" are list keywords first; followed by a form's word they are
  // the name of a table.
  if (scanner.isName("names")) {
    scanner.next();
    if (scanner.kind() == TOKEN_SEMICOLON) {
      return listTables(scanner, answer,
                        [&](TextBuffer& out) { return tables.writeNames(*user, out); });
    }
    if (scanner.isName("aliases")) {
      scanner.next();
      return listTables(scanner, answer,
                        [&](TextBuffer& out) { return tables.writeAliases(*user, out); });
    }
    if (!isTableForm(scanner)) {
      throw SemanticError("ожидается aliases, length, structure, privileges или ';'"_cp866);
    }
    return describeTable(parser, *tables.getTable("names"), *user, answer);
  }
  if (scanner.isName("structures")) {
    scanner.next();
    if (scanner.kind() == TOKEN_SEMICOLON) {
      return listTables(scanner, answer,
                        [&](TextBuffer& out) { return tables.writeStructures(*user, out); });
    }
    if (!isTableForm(scanner)) {
      throw SemanticError("ожидается length, structure, privileges или ';'"_cp866);
    }
    return describeTable(parser, *tables.getTable("structures"), *user, answer);
  }
  const std::shared_ptr<Table> table = parser.readTable();
  describeTable(parser, *table, *user, answer);
}

void runCommit(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  requireCommit(parser.security(), *user, "фиксации состояния сервера"_cp866);
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("commit");
  scanner.expectCommandEnd();
  parser.tables().commitAll();
  writeOk(answer);
}

}  // namespace dovrel::query
