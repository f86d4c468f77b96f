// The life of one connection. The reader thread reads requests, waits for the parser, runs
// them and sends the framed answers; the writer thread sends a status line every status
// interval while no answer has gone out. The writer is started with the first known-length
// header: before it the state is QUIET, in which no status line is sent, so a connection
// that never sends a request (or sends only a quiet one) never needs one.
//
// States (ConnectionState) and the transitions, with the thread that makes them:
//   QUIET     -> RECEIVING  reader, known-length header read          (ConnectionReader::run)
//   RECEIVING -> IN_QUEUE   reader, body read and checksum matched
//   IN_QUEUE  -> RUNNING    reader, parser semaphore obtained
//   RUNNING   -> READY      reader, answer sent                (ConnectionContext::answerSent)
//   READY     -> RECEIVING  reader, next known-length header read
//   QUIET     -> ERROR      reader, the answer to a quiet request sent
//   any       -> ERROR      either thread gives up                    (ConnectionContext::giveUp)
//
// Invariants:
//   1. `state` and `lastSent` are read and written only under the record's mutex.
//   2. The answer buffer and the received bytes not used yet belong to the reader alone.
//   3. Nothing is sent while an answer is being sent: answers and status lines are sent
//      only under the send mutex, and the reader records the answer's lastSent and the
//      state after it before it lets go, so a status line never follows the answer for the
//      state that answer ended.
//   4. A thread that gives up sets ERROR and wakes the other, which ends without a second
//      message; the record (and the socket) is freed when both threads have let go.
//   5. The parser semaphore is held from just before the journal append until the executor
//      returns, and is released on every path but a halt. The journal record is handed to
//      the system before the answer is sent.
//   6. A request of unknown length is valid only as the first request of a connection
//      (state QUIET); after a known-length one it drops the connection as an invalid header.
//   7. The reader takes bytes from the socket only into its input buffer while it looks for
//      a header, and only the announced remainder of a known-length body straight into the
//      body, so whatever arrives behind a request waits in the input buffer for the next
//      header, exactly as if it had been received later.
#include "server/Connection.h"

#include <new>

#include "foundation/Console.h"
#include "foundation/Cp866.h"
#include "platform/Thread.h"
#include "server/ConnectionContext.h"
#include "server/ConnectionReader.h"
#include "server/ConnectionWriter.h"
#include "server/ServerCore.h"

namespace dovrel::server {

namespace {

// Keeps a connection thread counted while its body runs.
class ThreadCount {
 public:
  explicit ThreadCount(ServerCore& core) : core_(core) {}
  ~ThreadCount() { core_.threadEnded(); }
  ThreadCount(const ThreadCount&) = delete;
  ThreadCount& operator=(const ThreadCount&) = delete;

 private:
  ServerCore& core_;
};

struct ConnectionStart {
  platform::Socket socket;
  ConnectionSlot slot;
  uint32_t peerAddress = 0;
  std::shared_ptr<ServerCore> core;
};

void runWriterThread(std::shared_ptr<ConnectionContext> context) {
  const std::shared_ptr<ServerCore> core = context->core;
  ThreadCount count(*core);
  ConnectionWriter(std::move(context)).run();
}

void runReaderThread(std::unique_ptr<ConnectionStart> start) {
  const std::shared_ptr<ServerCore> core = start->core;
  ThreadCount count(*core);
  std::shared_ptr<ConnectionContext> context;
  try {
    context = std::make_shared<ConnectionContext>(std::move(start->socket), std::move(start->slot),
                                                  start->peerAddress, core);
  } catch (const std::bad_alloc&) {
    // No memory for the connection's record: only this connection ends (its socket is
    // closed on the way out); an exception leaving a thread would end the process.
    return;
  }
  start.reset();
  // Only a matter of latency: a connection whose socket refuses it is served all the same.
  (void)context->sock.setNoDelay();

  try {
    ConnectionReader(context).run();
  } catch (...) {
    // Nothing a request can cause is let out of the reader (refusals are answers, memory
    // exhaustion while receiving ends the connection); this keeps a failure of the journal
    // or of framing an oversized answer to this connection instead of the whole process.
    // The parser semaphore has been released on the way out.
    context->giveUp(ConnectionSide::READER, {});
  }
}

}  // namespace

bool Connection::startWriter(const std::shared_ptr<ConnectionContext>& context) {
  ServerCore& core = *context->core;
  {
    // The first status line is due a status interval after the header, not after the
    // connection's start, however long the connection has been idle.
    std::lock_guard<std::mutex> lock(context->mutex);
    context->lastSent = std::chrono::steady_clock::now();
  }
  core.threadStarted();
  std::shared_ptr<ConnectionContext> forWriter = context;
  const platform::Status started = platform::startDetachedThread(
      [forWriter]() mutable { runWriterThread(std::move(forWriter)); },
      core.options().threadStackBytes);
  if (!started) {
    core.threadEnded();
    context->giveUp(ConnectionSide::READER, "Ошибка создания потока записи\n"_cp866);
    return false;
  }
  context->writerStarted = true;
  return true;
}

bool Connection::start(const std::shared_ptr<ServerCore>& core, platform::Socket socket,
                       ConnectionSlot slot, uint32_t peerAddress) {
  // std::function needs a copyable callable; the start record travels in a shared_ptr and
  // is handed over to the thread as a unique one.
  auto start = std::make_shared<std::unique_ptr<ConnectionStart>>(std::make_unique<ConnectionStart>(
      ConnectionStart{std::move(socket), std::move(slot), peerAddress, core}));
  core->threadStarted();
  const platform::Status started = platform::startDetachedThread(
      [start]() { runReaderThread(std::move(*start)); }, core->options().threadStackBytes);
  if (!started) {
    core->threadEnded();
    return false;  // the record, and with it the socket, goes with `start`
  }
  return true;
}

}  // namespace dovrel::server
