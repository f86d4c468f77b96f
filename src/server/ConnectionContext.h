// The record one connection's reader and writer threads share: the socket, the two
// semaphores that hand the answer back and forth, the answer buffer and the state. Both
// threads hold it by shared_ptr, so it is freed (and the socket closed) when the second of
// them lets go. `state` only under `mutex`; `answer` as the semaphores allow (see
// Connection.cpp).
#pragma once

#include <memory>
#include <mutex>
#include <semaphore>
#include <string_view>

#include "foundation/TextBuffer.h"
#include "platform/Socket.h"

namespace dovrel::server {

class ServerCore;

enum ConnectionState {
  STATE_QUIET,      // before the first known-length request, or during a quiet one
  STATE_ERROR,      // one thread has given up; the other ends too
  STATE_RECEIVING,  // reading the body of a known-length request
  STATE_IN_QUEUE,   // waiting for the parser semaphore
  STATE_RUNNING,    // the executor runs the query
  STATE_READY,      // the answer has been sent; waiting for the next request
};

enum class ConnectionSide { READER, WRITER };

class ConnectionContext {
 public:
  ConnectionContext(platform::Socket socket, std::shared_ptr<ServerCore> core);
  ~ConnectionContext();
  ConnectionContext(const ConnectionContext&) = delete;
  ConnectionContext& operator=(const ConnectionContext&) = delete;

  // The state, read under the mutex.
  ConnectionState currentState();

  // The exit rule of both threads: under the mutex, prints `message` (code page 866; may be
  // empty) and, unless the other thread has already given up, sets STATE_ERROR and wakes
  // the other thread so that it ends too instead of at its next timeout.
  void giveUp(ConnectionSide side, std::string_view message);

  platform::Socket sock;
  // Released by the reader when `answer` holds a framed answer (or to wake the writer after
  // it has given up); released by the writer when the answer has been sent.
  std::binary_semaphore answerReady{0};
  std::binary_semaphore answerSent{0};
  TextBuffer answer;
  std::mutex mutex;
  ConnectionState state = STATE_QUIET;  // guarded by mutex
  const std::shared_ptr<ServerCore> core;
};

}  // namespace dovrel::server
