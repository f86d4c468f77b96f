// Parser: the one object through which every query runs, from a client or from the replay
// of the query journal. It authenticates the two login lines, recognises the command
// keyword and hands the rest of the text to the command's handler, turning every refusal
// into one positioned text. After a disk or memory failure it refuses every query until
// the server is restarted. Not thread-safe: callers hold the server's parser semaphore, or
// run on the main thread before connections are taken.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/Poolable.h"
#include "foundation/TextView.h"
#include "query/CredentialCache.h"
#include "query/QueryResult.h"

namespace dovrel {
struct Failure;
class CommitListener;
class Scanner;
class Security;
class SimpleLog;
class Table;
class TableSet;
class TextBuffer;
class User;
}  // namespace dovrel

namespace dovrel::permissions {
class NetworkPermissions;
}  // namespace dovrel::permissions

namespace dovrel::query {

// Where the parser keeps its files.
struct ParserFiles {
  std::string dataDirectory;  // the tables' files; ends with '/', or is empty
  std::string securityFile;   // security.txt
  std::string securityLog;    // security_log.txt
  std::string criticalFile;   // critical.txt, where fatal assertions are recorded

  // The files of an instance whose base directory is `baseDirectory` (ending with '/', or
  // empty for the current directory): DATA/ and the three files beside it.
  static ParserFiles inBaseDirectory(const std::string& baseDirectory);
};

class Parser : public Object {
 public:
  // In this order: records the critical-file path process-wide; finishes or undoes a table
  // creation, drop or commit that a crash interrupted and loads every table's structure;
  // loads the security store; opens the security log. A failure (TextError, SemanticError
  // or DiskOrMemoryError) propagates and the server does not start. `networkPermissions`
  // may be empty: the commands that need it then refuse.
  explicit Parser(const ParserFiles& files,
                  std::shared_ptr<permissions::NetworkPermissions> networkPermissions = nullptr);
  // Commits every table unless shutdown() ran or the parser is in its error state (a
  // failure is printed on the console). Destroying a parser is therefore a halt, never a
  // crash.
  ~Parser() override;
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // Runs one query: "User: NAME" CR LF, "Password: PASSWORD" CR LF, one command. `answer`
  // must be empty (asserted); the handler writes the answer into it. A refusal leaves as a
  // TextError whose text is the whole message (positioned by the scanner, except for the
  // error state and for disk or memory failures); whatever was written to `answer` then
  // does not count. `query` must stay valid during the call only.
  QueryResult execute(TextView query, TextBuffer& answer);

  // The halt: commits every table unless the parser is in its error state. Throws the
  // commit's DiskOrMemoryError. Afterwards the parser commits nothing more.
  void shutdown();

  bool inError() const { return inError_; }
  // The error state for a disk failure met outside the parser (the query journal's): every
  // later query is refused and nothing more is committed, not even by shutdown.
  void enterErrorState() { inError_ = true; }

  // The user name (folded to lower case) when the last execute was refused at its login:
  // no such user, a wrong password or a locked account; empty after any other outcome.
  const std::optional<std::string>& failedLogin() const { return failedLogin_; }

  // A commit that a crash cut short in its first phase was undone at construction, and its
  // marker is kept until settled, so that the query journal can first record the undoing.
  // The first query settles it when nobody did.
  bool commitInterrupted() const;
  // DiskOrMemoryError when the marker cannot be deleted.
  void settleInterruptedCommit();
  // Told by every commit once it is under way (see CommitListener).
  void setCommitListener(std::weak_ptr<CommitListener> listener);

  // For the command handlers, during execute only: the scanner over the current query, the
  // query text as received (login lines included), and the parts of the server.
  Scanner& scanner();
  TextView queryText() const { return query_; }
  TableSet& tables() { return *tables_; }
  Security& security() { return *security_; }
  SimpleLog& securityLog() { return *securityLog_; }
  // Empty when the parser was made without one.
  permissions::NetworkPermissions* networkPermissions() { return networkPermissions_.get(); }

  // A table name (read with the word "таблицы") and its table; SemanticError "таблица " +
  // name + " не найдена" when there is none.
  std::shared_ptr<Table> readTable();
  // readTable, then ".": the start of a reference table.member.
  std::shared_ptr<Table> readTablePrefix();

 private:
  QueryResult run(TextBuffer& answer);
  // The login lines, the user look-up and the password and lock checks.
  std::shared_ptr<User> login();
  // The one turning of a failure into what the client sees: a SemanticError, or anything
  // unexpected, becomes the text positioned by the current scanner; a TextError leaves as
  // it is; a DiskOrMemoryError leaves unpositioned. A disk, memory or unexpected failure
  // also puts the parser into its error state.
  [[noreturn]] void refuseFailure(const Failure& failure);
  // The refusal text: the message positioned by the current scanner.
  [[noreturn]] void refuse(std::string_view message);

  bool inError_ = false;
  bool shutDown_ = false;
  std::optional<std::string> failedLogin_;
  TextView query_;
  std::unique_ptr<Scanner> scanner_;
  // Declared before the security store, which refers to it, so that it is released last.
  std::unique_ptr<TableSet> tables_;
  std::unique_ptr<Security> security_;
  std::unique_ptr<SimpleLog> securityLog_;
  std::shared_ptr<permissions::NetworkPermissions> networkPermissions_;
  // Passwords verified since start-up; see CredentialCache for why this changes no answer.
  CredentialCache credentials_;
};

}  // namespace dovrel::query
