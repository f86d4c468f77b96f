// The status-line side of a connection: sends a status line at every status interval while
// no answer has gone out (the reader sends the answers). Runs on the connection's writer
// thread only; see Connection.cpp for the states and invariants.
#pragma once

#include <memory>

#include "server/ConnectionContext.h"

namespace dovrel::server {

class ConnectionWriter {
 public:
  explicit ConnectionWriter(std::shared_ptr<ConnectionContext> context);

  // Runs until the connection ends (a quiet answer sent, a status line that could not be
  // sent, or the reader gave up).
  void run();

 private:
  // False after giving up.
  bool sendStatusLine(ConnectionState state);

  std::shared_ptr<ConnectionContext> context_;
  ConnectionContext& ctx_;
};

}  // namespace dovrel::server
