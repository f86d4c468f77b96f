// The writer thread of a connection (states and invariants in Connection.cpp). Shares only
// the ConnectionContext with its reader.
#include "server/ConnectionWriter.h"

#include <algorithm>
#include <chrono>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "server/ServerCore.h"
#include "server/WireFormat.h"

namespace dovrel::server {

ConnectionWriter::ConnectionWriter(std::shared_ptr<ConnectionContext> context)
    : context_(std::move(context)), ctx_(*context_) {}

void ConnectionWriter::run() {
  const auto interval = std::chrono::milliseconds(ctx_.core->options().statusIntervalMs);
  for (;;) {
    if (!ctx_.answerReady.try_acquire_for(interval)) {
      // Act on a copy: the reader may move on while the line is being sent.
      const ConnectionState state = ctx_.currentState();
      if (state == STATE_ERROR) return;
      if (state == STATE_QUIET) continue;
      if (!sendStatusLine(state)) return;
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(ctx_.mutex);
      if (ctx_.state == STATE_ERROR) return;  // woken by a reader that gave up
      DOVREL_ASSERT(ctx_.state == STATE_RUNNING || ctx_.state == STATE_QUIET);
    }
    if (!sendAnswer()) return;
    std::lock_guard<std::mutex> lock(ctx_.mutex);
    if (ctx_.state == STATE_QUIET) {
      // A quiet request is the only one on its connection: the reader ends it.
      ctx_.state = STATE_ERROR;
      ctx_.answerSent.release();
      return;
    }
    ctx_.state = STATE_READY;
    ctx_.answerSent.release();
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

bool ConnectionWriter::sendAnswer() {
  const char* next = ctx_.answer.pointer();
  uint32_t left = ctx_.answer.length();
  while (left > 0) {
    const uint32_t piece = std::min(left, WIRE_PIECE);
    if (!ctx_.sock.sendAll(next, piece).isOk()) {
      ctx_.giveUp(ConnectionSide::WRITER, "Ошибка записи в сокет ответа\n"_cp866);
      return false;
    }
    next += piece;
    left -= piece;
  }
  return true;
}

}  // namespace dovrel::server
