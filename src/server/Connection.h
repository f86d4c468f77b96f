// Serving one accepted connection with a reader and a writer thread. Called by the accept
// loop on the main thread; everything after start() runs on the connection's own threads.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Socket.h"

namespace dovrel::server {

class ConnectionContext;
class ConnectionSlot;
class ServerCore;

class Connection {
 public:
  // Starts the reader thread, which creates the connection record and then serves requests
  // until the connection ends. False when the thread could not be started; the socket has
  // then been closed and the slot given back. `peerAddress`: IPv4, first octet most
  // significant.
  static bool start(const std::shared_ptr<ServerCore>& core, platform::Socket socket,
                    ConnectionSlot slot, uint32_t peerAddress);
  // Starts the connection's writer thread; called by the reader once, when the first
  // status line may become due. False after printing the message when it cannot start.
  static bool startWriter(const std::shared_ptr<ConnectionContext>& context);
};

}  // namespace dovrel::server
