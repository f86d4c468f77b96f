// Parser: start-up of the parser's parts, the login, the command dispatch and the turning
// of failures into refusals. Query thread, or the main thread before connections are taken.
#include "query/Parser.h"

#include <string_view>

#include "foundation/Assert.h"
#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "principals/User.h"
#include "query/DocumentCommands.h"
#include "query/NetworkPermissionCommands.h"
#include "query/SearchCommands.h"
#include "query/SecurityCommands.h"
#include "query/TableCommands.h"
#include "security/Security.h"
#include "security/SimpleLog.h"
#include "tables/Table.h"
#include "tables/TableSet.h"

namespace dovrel::query {

namespace {

constexpr std::string_view USER_PREFIX = "User: ";
constexpr std::string_view PASSWORD_PREFIX = "Password: ";
constexpr std::string_view LINE_END = "\r\n";

// A login line: at least `minimum` bytes, the prefix, then the value, then CR LF.
bool isLoginLine(TextView line, std::string_view prefix, uint32_t minimum) {
  return line.length() >= minimum && line.view().starts_with(prefix) &&
         line.view().ends_with(LINE_END);
}

// The sub-dispatchers look at the word after their keyword without consuming it; the
// handler they choose reads from there.
void runAlter(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("alter");
  if (scanner.isName("table")) return runAlterTable(parser, user, answer);
  if (scanner.isName("user")) return runAlterUser(parser, user, answer);
  if (scanner.isName("role")) return runAlterRole(parser, user, answer);
  // "table" is accepted although the message does not name it.
  throw SemanticError("ожидается user или role"_cp866);
}

void runCreate(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("create");
  if (scanner.isName("table")) return runCreateTable(parser, user, answer);
  if (scanner.isName("user")) return runCreateUser(parser, user, answer);
  if (scanner.isName("role")) return runCreateRole(parser, user, answer);
  throw SemanticError("ожидается table, user или role"_cp866);
}

void runDrop(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("drop");
  if (scanner.isName("table")) return runDropTable(parser, user, answer);
  if (scanner.isName("user")) return runDropUser(parser, user, answer);
  if (scanner.isName("role")) return runDropRole(parser, user, answer);
  throw SemanticError("ожидается table, user или role"_cp866);
}

void runGet(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("get");
  if (scanner.isName("document")) return runGetDocument(parser, user, answer);
  if (scanner.isName("index")) return runGetIndex(parser, user, answer);
  if (scanner.isName("table")) return runGetTable(parser, user, answer);
  if (scanner.isName("users")) return runGetUsers(parser, user, answer);
  if (scanner.isName("network")) return runGetNetworkPermissions(parser, user, answer);
  throw SemanticError("ожидается document, index, table, users или network"_cp866);
}

// Only an admin may halt; the caller ends the server, and no answer is written. `halt` may
// end with a ';', and nothing may follow.
void runHalt(Parser& parser, const std::shared_ptr<User>& user, TextBuffer&) {
  if (user->kind() != UserKind::ADMIN) {
    throw SemanticError("у пользователя недостаточно прав для завершения работы сервера"_cp866);
  }
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("halt");
  if (scanner.kind() == TOKEN_SEMICOLON) scanner.next();
  scanner.expectRequestEnd();
}

struct Command {
  std::string_view keyword;
  CommandHandler run;
  QueryResult result;
};

// In the order in which the keywords are tried.
constexpr Command COMMANDS[] = {
    {"add", runAdd, RESULT_DONE},
    {"alter", runAlter, RESULT_DONE},
    {"commit", runCommit, RESULT_COMMITTED},
    {"create", runCreate, RESULT_DONE},
    {"delete", runDelete, RESULT_DONE},
    {"drop", runDrop, RESULT_DONE},
    {"get", runGet, RESULT_DONE},
    {"grant", runGrant, RESULT_DONE},
    {"halt", runHalt, RESULT_HALT},
    {"optimize", runOptimize, RESULT_DONE},
    {"revoke", runRevoke, RESULT_DONE},
    {"select", runSelect, RESULT_DONE},
    {"set", runSetNetworkPermissions, RESULT_DONE},
};

// Forgets the current query when execute ends, however it ends: the scanner and the query
// view point into bytes that are the caller's.
class CurrentQuery {
 public:
  CurrentQuery(TextView& query, std::shared_ptr<Scanner>& scanner)
      : query_(query), scanner_(scanner) {}
  ~CurrentQuery() {
    query_ = TextView();
    scanner_.reset();
  }

 private:
  TextView& query_;
  std::shared_ptr<Scanner>& scanner_;
};

}  // namespace

void refuseUnsupported() { throw SemanticError("команда не поддерживается"_cp866); }

ParserFiles ParserFiles::inBaseDirectory(const std::string& baseDirectory) {
  return ParserFiles{baseDirectory + "DATA/", baseDirectory + "security.txt",
                     baseDirectory + "security_log.txt", baseDirectory + "critical.txt"};
}

Parser::Parser(const ParserFiles& files,
               std::shared_ptr<permissions::NetworkPermissions> networkPermissions)
    : networkPermissions_(std::move(networkPermissions)) {
  setCriticalFilePath(files.criticalFile);
  // Through the class's own allocation, so the objects come from the pools.
  tables_ = std::shared_ptr<TableSet>(new TableSet(files.dataDirectory));
  tables_->load();
  security_ = std::shared_ptr<Security>(new Security(files.securityFile, tables_));
  securityLog_ = std::shared_ptr<SimpleLog>(new SimpleLog(files.securityLog));
}

Parser::~Parser() {
  if (shutDown_ || inError_) return;
  try {
    tables_->commitAll();
  } catch (const DiskOrMemoryError& error) {
    consolePrint(error.message() + "\n");
  } catch (const SemanticError& error) {
    consolePrint(error.message() + "\n");
  } catch (const TextError& error) {
    consolePrint(error.text() + "\n");
  } catch (...) {
    consolePrint("неожиданная ошибка\n"_cp866);
  }
}

void Parser::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (!inError_) tables_->commitAll();
}

bool Parser::commitInterrupted() const { return tables_->commitInterrupted(); }

void Parser::settleInterruptedCommit() { tables_->settleInterruptedCommit(); }

void Parser::setCommitListener(std::weak_ptr<CommitListener> listener) {
  tables_->setCommitListener(std::move(listener));
}

Scanner& Parser::scanner() {
  DOVREL_ASSERT_TEXT(scanner_ != nullptr, "scanner != NULL");
  return *scanner_;
}

QueryResult Parser::execute(TextView query, TextBuffer& answer) {
  DOVREL_ASSERT_TEXT(answer.length() == 0, "answer.length() == 0");
  failedLogin_.reset();
  if (inError_) throw TextError("сервер в состоянии ошибки, требуется перезагрузка"_cp866);
  CurrentQuery current(query_, scanner_);
  try {
    query_ = query;
    scanner_ = std::shared_ptr<Scanner>(new Scanner(query));
    tables_->settleInterruptedCommit();
    return run(answer);
  } catch (const SemanticError& error) {
    refuse(error.message());
  } catch (const TextError&) {
    throw;  // the scanner's own errors are positioned already
  } catch (const DiskOrMemoryError& error) {
    // Whatever the failed query changed in memory may now differ from the files: no later
    // query, and no commit, may build on it.
    inError_ = true;
    throw TextError(error.message());
  } catch (...) {
    inError_ = true;
    refuse("неожиданная ошибка"_cp866);
  }
}

void Parser::refuse(std::string_view message) {
  if (scanner_ == nullptr) throw TextError(message);
  scanner_->error(message);
}

QueryResult Parser::run(TextBuffer& answer) {
  const std::shared_ptr<User> user = login();
  scanner_->next();
  for (const Command& command : COMMANDS) {
    if (scanner_->isName(command.keyword)) {
      command.run(*this, user, answer);
      // The handlers refuse text after their command before they act; a command whose end
      // is read by the structure or principal readers is refused here, after it ran.
      scanner_->expectRequestEnd();
      return command.result;
    }
  }
  throw SemanticError(
      "ожидается add, alter, commit, create, delete, drop, get, grant, halt, optimize, revoke, "
      "select или set"_cp866);
}

std::shared_ptr<User> Parser::login() {
  const TextView userLine = scanner_->readLine();
  if (!isLoginLine(userLine, USER_PREFIX, 9)) {
    throw SemanticError(std::string("ожидается 'User: *\\x0D\\x0A', получено '"_cp866) +
                        userLine.toString() + "'");
  }
  std::string name = userLine.sub(USER_PREFIX.size(), userLine.length() - 8).toString();
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const TextView passwordLine = scanner_->readLine();
  if (!isLoginLine(passwordLine, PASSWORD_PREFIX, 12)) {
    throw SemanticError(std::string("ожидается 'Password: *\\x0D\\x0A', получено '"_cp866) +
                        passwordLine.toString() + "'");
  }
  const TextView password = passwordLine.sub(PASSWORD_PREFIX.size(), passwordLine.length() - 12);

  // A wrong password is reported before a lock, so a lock tells nothing to a guesser.
  try {
    std::shared_ptr<User> user = security_->getUser(name);
    credentials_.checkPassword(*user, password);
    user->checkNotLocked();
    return user;
  } catch (const SemanticError&) {
    failedLogin_ = std::move(name);
    throw;
  }
}

std::shared_ptr<Table> Parser::readTable() {
  const std::string name = scanner().expectName("таблицы"_cp866);
  return tables_->getTable(name);
}

std::shared_ptr<Table> Parser::readTablePrefix() {
  std::shared_ptr<Table> table = readTable();
  scanner().expect(TOKEN_DOT);
  return table;
}

}  // namespace dovrel::query
