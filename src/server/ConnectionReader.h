// The reader side of a connection: reads and checks each request, waits for its turn at the
// executor, runs the query and sends the framed answer. Runs on the connection's reader
// thread only; see Connection.cpp for the states and invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
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
  // What the reader keeps of the received bytes: the header is received in pieces of up to
  // this size, and whatever arrives behind it (the body, or the next requests) waits here.
  static constexpr std::size_t INPUT_CAPACITY = 16384;
  // A larger answer buffer is freed after its answer rather than kept for the next one.
  static constexpr uint32_t KEPT_ANSWER_CAPACITY = 1 << 20;

  // Each returns false after giving up (the message printed, the writer told).
  bool readHeader(RequestHeader* header);
  bool enterState(const RequestHeader& header);
  bool readBody(const RequestHeader& header, TextBuffer* body, BodyReservation* reservation);
  // The receive timeout for the next recv (0: none), set on the socket only when it
  // changes. False after giving up when a deadline has already passed.
  bool setDeadline(uint64_t deadlineMs, std::string_view expired);
  // After a failed login: the console line and the delay before the answer.
  void delayFailedLogin(const std::string& user);
  // Runs the query in the executor; refusals become "ERROR\r\n" answers.
  QueryResult execute(TextView query);
  void answerError(std::string_view message);
  // Sends the framed answer. False when the connection ends with it (a quiet request) or
  // has ended meanwhile.
  bool sendAnswer(bool quiet);
  // True when the other thread has given up (the state is STATE_ERROR); otherwise sets
  // `next` for a known-length request.
  bool stopOrAdvance(bool knownLength, ConnectionState next);

  std::shared_ptr<ConnectionContext> context_;
  ConnectionContext& ctx_;
  ServerCore& core_;
  TextBuffer answer_;
  // Received bytes not used yet: input_[inputStart_, inputEnd_).
  std::unique_ptr<char[]> input_;
  std::size_t inputStart_ = 0;
  std::size_t inputEnd_ = 0;
  uint32_t receiveTimeoutMs_ = 0;  // as set on the socket
};

}  // namespace dovrel::server
