// What a query was, as far as its callers care: the connection threads rotate the query
// journal after a commit and end the server after a halt. A plain value; any thread.
#pragma once

namespace dovrel::query {

enum QueryResult {
  RESULT_DONE,       // every command but the two below; the answer goes to the client
  RESULT_COMMITTED,  // a commit: the query journal is rotated before the answer is sent
  RESULT_HALT,       // a halt: no answer; the server saves and ends
};

}  // namespace dovrel::query
