// The table commands and commit. Creating, dropping and describing tables are not run by
// this server yet: they refuse. Query thread only.
#include "query/TableCommands.h"

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "query/Parser.h"
#include "security/Security.h"
#include "tables/TableSet.h"

namespace dovrel::query {

void runCreateTable(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runDropTable(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runGetTable(Parser&, const std::shared_ptr<User>&, TextBuffer&) { refuseUnsupported(); }

void runCommit(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  if (!parser.security().mayCommit(*user)) {
    throw SemanticError("у пользователя недостаточно прав для фиксации состояния сервера"_cp866);
  }
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("commit");
  scanner.expect(TOKEN_SEMICOLON);
  parser.tables().commitAll();
  answer.append(std::string_view("OK\r\n"));
}

}  // namespace dovrel::query
