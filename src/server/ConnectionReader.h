// The reader side of a connection: reads and checks each request, waits for its turn at the
// executor, runs the query and hands the framed answer to the writer. Runs on the
// connection's reader thread only; see Connection.cpp for the states and invariants.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "foundation/TextBuffer.h"
#include "server/ConnectionContext.h"
#include "server/QueryExecutor.h"
#include "server/WireFormat.h"

namespace dovrel::server {

class ConnectionReader {
 public:
  explicit ConnectionReader(std::shared_ptr<ConnectionContext> context);

  // Serves requests until the connection ends, the peer misbehaves, or a halt.
  void run();

 private:
  // Each returns false after giving up (the message printed, the writer told).
  bool readHeader(RequestHeader* header);
  bool enterState(const RequestHeader& header);
  bool readBody(const RequestHeader& header, TextBuffer* body);
  // Runs the query in the executor; refusals become "ERROR\r\n" answers.
  QueryResult execute(TextView query);
  void answerError(std::string_view message);
  // False when the connection has ended meanwhile.
  bool handOverAnswer();
  // True when the other thread has given up (the state is STATE_ERROR); otherwise sets
  // `next` for a known-length request.
  bool stopOrAdvance(bool knownLength, ConnectionState next);

  std::shared_ptr<ConnectionContext> context_;
  ConnectionContext& ctx_;
  ServerCore& core_;
};

}  // namespace dovrel::server
