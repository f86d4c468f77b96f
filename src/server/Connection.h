// Serving one accepted connection with a reader and a writer thread. Called by the accept
// loop on the main thread; everything after start() runs on the connection's own threads.
#pragma once

#include <memory>

#include "platform/Socket.h"

namespace dovrel::server {

class ServerCore;

class Connection {
 public:
  // Starts the reader thread, which creates the connection record and the writer thread and
  // then serves requests until the connection ends. False when the thread could not be
  // started; the socket has then been closed.
  static bool start(const std::shared_ptr<ServerCore>& core, platform::Socket socket);
};

}  // namespace dovrel::server
