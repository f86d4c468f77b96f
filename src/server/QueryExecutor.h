// The one object through which every query runs. The connection threads call it only while
// they hold the server's parser semaphore, so an implementation needs no lock of its own;
// start-up code (journal replay) calls it on the main thread before connections are taken.
#pragma once

#include "foundation/TextBuffer.h"
#include "foundation/TextView.h"
#include "query/QueryResult.h"

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

  // Saves everything for a halt; called once, after the journal's shutdown, with the parser
  // semaphore held and no other query running. The process ends right after.
  virtual void shutdown() {}
};

}  // namespace dovrel::server
