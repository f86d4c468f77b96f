// Parser: start-up of the parser's parts, the login, the command dispatch and the turning
// of failures into refusals. Query thread, or the main thread before connections are taken.
#include "query/Parser.h"

#include <string_view>

#include "foundation/Assert.h"
#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Failure.h"
#include "foundation/InstanceFiles.h"
#include "foundation/Scanner.h"
#include "foundation/TextBuffer.h"
#include "principals/User.h"
#include "query/DocumentCommands.h"
#include "query/NetworkPermissionCommands.h"
#include "query/PrivilegeGate.h"
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

// A command word and its handler; `result` is what the query was when the handler ends
// without a refusal. The first word of a query and the word after alter, create, drop and
// get are looked up in tables of these, in the order in which they are tried.
struct Command {
  std::string_view keyword;
  CommandHandler run;
  QueryResult result = RESULT_DONE;
};

// The entry of `commands` whose keyword the scanner stands on, without consuming it, or
// SemanticError `expected`.
template <std::size_t N>
const Command& findCommand(const Scanner& scanner, const Command (&commands)[N],
                           std::string_view expected) {
  for (const Command& command : commands) {
    if (scanner.isName(command.keyword)) return command;
  }
  throw SemanticError(expected);
}

// The sub-dispatchers consume their keyword and look at the word after it without
// consuming it; the handler they choose reads from there.
template <std::size_t N>
void runSubCommand(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer,
                   std::string_view keyword, const Command (&commands)[N],
                   std::string_view expected) {
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword(keyword);
  findCommand(scanner, commands, expected).run(parser, user, answer);
}

constexpr Command ALTER_COMMANDS[] = {
    {"table", runAlterTable},
    {"user", runAlterUser},
    {"role", runAlterRole},
};

constexpr Command CREATE_COMMANDS[] = {
    {"table", runCreateTable},
    {"user", runCreateUser},
    {"role", runCreateRole},
};

constexpr Command DROP_COMMANDS[] = {
    {"table", runDropTable},
    {"user", runDropUser},
    {"role", runDropRole},
};

constexpr Command GET_COMMANDS[] = {
    {"document", runGetDocument},
    {"index", runGetIndex},
    {"table", runGetTable},
    {"users", runGetUsers},
    {"network", runGetNetworkPermissions},
};

void runAlter(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  // "table" is accepted although the message does not name it.
  runSubCommand(parser, user, answer, "alter", ALTER_COMMANDS, "ожидается user или role"_cp866);
}

void runCreate(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  runSubCommand(parser, user, answer, "create", CREATE_COMMANDS,
                "ожидается table, user или role"_cp866);
}

void runDrop(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  runSubCommand(parser, user, answer, "drop", DROP_COMMANDS,
                "ожидается table, user или role"_cp866);
}

void runGet(Parser& parser, const std::shared_ptr<User>& user, TextBuffer& answer) {
  runSubCommand(parser, user, answer, "get", GET_COMMANDS,
                "ожидается document, index, table, users или network"_cp866);
}

// Only an admin may halt; the caller ends the server, and no answer is written. `halt` may
// end with a ';', and nothing may follow.
void runHalt(Parser& parser, const std::shared_ptr<User>& user, TextBuffer&) {
  requireAdmin(*user, "завершения работы сервера"_cp866);
  Scanner& scanner = parser.scanner();
  scanner.expectKeyword("halt");
  if (scanner.kind() == TOKEN_SEMICOLON) scanner.next();
  scanner.expectRequestEnd();
}

// The first word of a query.
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
  CurrentQuery(TextView& query, std::unique_ptr<Scanner>& scanner)
      : query_(query), scanner_(scanner) {}
  ~CurrentQuery() {
    query_ = TextView();
    scanner_.reset();
  }

 private:
  TextView& query_;
  std::unique_ptr<Scanner>& scanner_;
};

}  // namespace

void refuseUnsupported() { throw SemanticError("команда не поддерживается"_cp866); }

ParserFiles ParserFiles::inBaseDirectory(const std::string& baseDirectory) {
  return ParserFiles{instance::dataDirectory(baseDirectory),
                     instance::besideData(baseDirectory, instance::SECURITY_FILE),
                     instance::besideData(baseDirectory, instance::SECURITY_LOG),
                     instance::besideData(baseDirectory, instance::CRITICAL_FILE)};
}

Parser::Parser(const ParserFiles& files,
               std::shared_ptr<permissions::NetworkPermissions> networkPermissions)
    : networkPermissions_(std::move(networkPermissions)) {
  setCriticalFilePath(files.criticalFile);
  // Through the class's own allocation, so the objects come from the pools.
  tables_ = std::unique_ptr<TableSet>(new TableSet(files.dataDirectory));
  tables_->load();
  security_ = std::unique_ptr<Security>(new Security(files.securityFile, *tables_));
  securityLog_ = std::unique_ptr<SimpleLog>(new SimpleLog(files.securityLog));
}

Parser::~Parser() {
  if (shutDown_ || inError_) return;
  handleFailures([&] { tables_->commitAll(); },
                 [](const Failure& failure) { consolePrint(std::string(failure.text) + "\n"); });
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
  return handleFailures(
      [&] {
        query_ = query;
        scanner_ = std::unique_ptr<Scanner>(new Scanner(query));
        tables_->settleInterruptedCommit();
        return run(answer);
      },
      [this](const Failure& failure) -> QueryResult { refuseFailure(failure); });
}

void Parser::refuseFailure(const Failure& failure) {
  switch (failure.kind) {
    case FailureKind::SEMANTIC:
      refuse(failure.text);
    case FailureKind::TEXT:
      throw TextError(failure.text);  // the scanner's own errors are positioned already
    case FailureKind::DISK_OR_MEMORY:
      // Whatever the failed query changed in memory may now differ from the files: no later
      // query, and no commit, may build on it.
      inError_ = true;
      throw TextError(failure.text);
    case FailureKind::UNEXPECTED:
      break;
  }
  inError_ = true;
  refuse(failure.text);
}

void Parser::refuse(std::string_view message) {
  if (scanner_ == nullptr) throw TextError(message);
  scanner_->error(message);
}

QueryResult Parser::run(TextBuffer& answer) {
  const std::shared_ptr<User> user = login();
  scanner_->next();
  const Command& command = findCommand(
      *scanner_, COMMANDS,
      "ожидается add, alter, commit, create, delete, drop, get, grant, halt, optimize, revoke, "
      "select или set"_cp866);
  command.run(*this, user, answer);
  // The handlers refuse text after their command before they act; a command whose end is
  // read by the structure or principal readers is refused here, after it ran.
  scanner_->expectRequestEnd();
  return command.result;
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
