// The writer thread of a connection (states and invariants in Connection.cpp). Shares only
// the ConnectionContext with its reader. It sleeps until a status interval has passed since
// the last answer or status line, so an answer costs it no wake-up.
#include "server/ConnectionWriter.h"

#include <chrono>

#include "foundation/Cp866.h"
#include "server/ServerCore.h"
#include "server/WireFormat.h"

namespace dovrel::server {

ConnectionWriter::ConnectionWriter(std::shared_ptr<ConnectionContext> context)
    : context_(std::move(context)), ctx_(*context_) {}

void ConnectionWriter::run() {
  using Clock = std::chrono::steady_clock;
  const auto interval = std::chrono::milliseconds(ctx_.core->options().statusIntervalMs);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(ctx_.mutex);
      // lastSent moves on with every answer, so the deadline is taken afresh after each wait.
      while (ctx_.state != STATE_ERROR && Clock::now() < ctx_.lastSent + interval) {
        ctx_.writerWake.wait_until(lock, ctx_.lastSent + interval);
      }
      if (ctx_.state == STATE_ERROR) return;
    }
    // The reader may be sending an answer: wait for it, then look again (invariant 3).
    std::lock_guard<std::mutex> sending(ctx_.sendMutex);
    ConnectionState state;
    {
      std::lock_guard<std::mutex> lock(ctx_.mutex);
      if (ctx_.state == STATE_ERROR) return;
      const Clock::time_point now = Clock::now();
      if (now < ctx_.lastSent + interval) continue;  // an answer went out meanwhile
      ctx_.lastSent = now;
      state = ctx_.state;
    }
    if (state == STATE_QUIET) continue;  // nothing to say before the first known length
    // Sent on a copy of the state: the reader may move on while the line is being sent.
    if (!sendStatusLine(state)) return;
    std::lock_guard<std::mutex> lock(ctx_.mutex);
    ctx_.lastSent = Clock::now();
  }
}

bool ConnectionWriter::sendStatusLine(ConnectionState state) {
  std::string_view line;
  switch (state) {
    case STATE_RECEIVING:
      line = STATUS_RECEIVING;
      break;
    case STATE_IN_QUEUE:
      line = STATUS_IN_QUEUE;
      break;
    case STATE_RUNNING:
      line = STATUS_RUNNING;
      break;
    default:
      line = STATUS_READY;
      break;
  }
  if (ctx_.sock.sendAll(line.data(), line.size()).isOk()) return true;
  ctx_.giveUp(ConnectionSide::WRITER, "Ошибка записи в сокет сообщения о состоянии\n"_cp866);
  return false;
}

}  // namespace dovrel::server
