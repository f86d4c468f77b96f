// The shared connection record and the exit rule. Reader and writer thread of one
// connection.
#include "server/ConnectionContext.h"

#include "foundation/Console.h"
#include "platform/ServerSupport.h"
#include "server/ServerCore.h"

namespace dovrel::server {

ConnectionContext::ConnectionContext(platform::Socket socket, ConnectionSlot slot, uint32_t peer,
                                     std::shared_ptr<ServerCore> owner)
    : sock(std::move(socket)), core(std::move(owner)), peerAddress(peer), slot_(std::move(slot)) {}

// The socket closes before the slot is given back (members go in reverse order).
ConnectionContext::~ConnectionContext() { sock.close(); }

ConnectionState ConnectionContext::currentState() {
  std::lock_guard<std::mutex> lock(mutex);
  return state;
}

void ConnectionContext::giveUp(ConnectionSide side, std::string_view message) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!message.empty()) consolePrint(message);
  if (state == STATE_ERROR) return;  // the other thread has gone; our release frees the record
  state = STATE_ERROR;
  if (side == ConnectionSide::READER) {
    // The writer sleeps until its next status line is due: wake it now so that it ends.
    writerWake.notify_one();
  } else {
    // The reader may be blocked in recv for as long as the peer stays silent; ending both
    // directions wakes it. The descriptor stays open, so the reader never reads from a
    // reused one; it is closed when the record is freed.
    (void)platform::shutdownSocket(sock);
  }
}

bool ConnectionContext::answerSent(bool quiet) {
  std::lock_guard<std::mutex> lock(mutex);
  lastSent = std::chrono::steady_clock::now();
  if (state == STATE_ERROR) return false;
  if (quiet) {
    // A quiet request is the only one on its connection.
    state = STATE_ERROR;
    writerWake.notify_one();
    return false;
  }
  state = STATE_READY;
  return true;
}

}  // namespace dovrel::server
