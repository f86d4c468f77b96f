// The record one connection's reader and writer threads share: the socket, the lock that
// lets one of them send at a time, the state and the time of the last send. Both threads
// hold it by shared_ptr, so it is freed (and the socket closed) when the second of them lets
// go. `state` and `lastSent` only under `mutex` (see Connection.cpp).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/Socket.h"
#include "server/ServerCore.h"

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
  // `slot` keeps the connection counted as open until the record is freed; `peerAddress`
  // is the peer's IPv4 address (first octet most significant).
  ConnectionContext(platform::Socket socket, ConnectionSlot slot, uint32_t peerAddress,
                    std::shared_ptr<ServerCore> core);
  ~ConnectionContext();
  ConnectionContext(const ConnectionContext&) = delete;
  ConnectionContext& operator=(const ConnectionContext&) = delete;

  // The state, read under the mutex.
  ConnectionState currentState();

  // The exit rule of both threads: under the mutex, prints `message` (code page 866; may be
  // empty) and, unless the other thread has already given up, sets STATE_ERROR and wakes
  // the other thread so that it ends too instead of at its next timeout.
  void giveUp(ConnectionSide side, std::string_view message);

  // Under the mutex: an answer has just gone out (the next status line is due a status
  // interval from now), and the state after it: STATE_READY after a known-length answer,
  // STATE_ERROR after a quiet one, which ends the connection (the writer is woken to end
  // too). False when the connection has ended meanwhile or has just been ended.
  bool answerSent(bool quiet);

  platform::Socket sock;
  // Held by whichever thread sends: the reader for an answer, the writer for a status line,
  // so that nothing is sent in the middle of an answer. Taken before `mutex` when both are.
  std::mutex sendMutex;
  std::mutex mutex;
  // Wakes the writer before its next status line is due: when the connection ends.
  std::condition_variable writerWake;
  ConnectionState state = STATE_QUIET;  // guarded by mutex
  // The last answer or status line sent, or the connection's start; guarded by mutex.
  std::chrono::steady_clock::time_point lastSent = std::chrono::steady_clock::now();
  const std::shared_ptr<ServerCore> core;
  const uint32_t peerAddress;
  // Set by the reader when it starts the writer (at the first known-length header: before
  // it a connection sends no status line, so an idle one costs a single thread).
  bool writerStarted = false;  // reader thread only

 private:
  ConnectionSlot slot_;
};

}  // namespace dovrel::server
