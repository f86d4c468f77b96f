// The one object through which every query runs. The connection threads call it only while
// they hold the server's parser semaphore, so an implementation needs no lock of its own;
// start-up code (journal replay) calls it on the main thread before connections are taken.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/TextBuffer.h"
#include "foundation/TextView.h"
#include "query/QueryResult.h"
#include "tables/CommitListener.h"

namespace dovrel::server {

// What a query was, as far as the connection threads care (defined by the query layer).
using query::QueryResult;
using query::RESULT_COMMITTED;
using query::RESULT_DONE;
using query::RESULT_HALT;

class QueryExecutor {
 public:
  virtual ~QueryExecutor() = default;

  // Runs one query (login lines and one command, code page 866 bytes) and writes its answer
  // text into `answer`, which is empty on entry. A refusal leaves as a TextError carrying
  // the complete message; the caller then answers "ERROR\r\n" and the message, whatever
  // was written to `answer` before. The query bytes are valid only during the call.
  virtual QueryResult execute(TextView query, TextBuffer& answer) = 0;

  // Saves everything for a halt; called once, before the journal's shutdown, with the parser
  // semaphore held and no other query running. The process ends right after.
  virtual void shutdown() {}

  // After execute, with the parser semaphore still held: the user name (as folded) when the
  // query was refused at its login (no such user, a wrong password, a locked account), so
  // that the connection can slow the guesser down; empty otherwise.
  virtual std::optional<std::string> failedLogin() const { return std::nullopt; }

  // True once every query will be refused until a restart (the parser's error state). Such
  // queries are not journalled: replayed after the restart they would take effect although
  // their answer was a refusal.
  virtual bool refusesEveryQuery() const { return false; }

  // Puts the executor into its error state for a disk failure met outside it (a journal
  // record that could not be written): from then on it refuses every query and saves
  // nothing, as after a failure of its own.
  virtual void enterErrorState() {}

  // The start-up's side of the commit protocol with the query journal, used by the journal
  // before it replays anything. Whether the start undid a commit that a crash cut short
  // (its marker kept until settled); settling deletes that marker (DiskOrMemoryError on
  // failure); every later commit tells `listener` once it is under way. An executor
  // without tables has no commits to tell about.
  virtual bool commitInterrupted() const { return false; }
  virtual void settleInterruptedCommit() {}
  virtual void setCommitListener(std::weak_ptr<CommitListener>) {}
};

}  // namespace dovrel::server
