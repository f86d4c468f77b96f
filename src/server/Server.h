// Start-up and the accept loop. The program's main thread creates one Server, starts it
// (listening socket, then the process-wide objects in their fixed order) and runs the
// accept loop for the rest of the process's life. stop() is for tests, from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "permissions/PeerFilter.h"
#include "platform/Socket.h"
#include "server/AdmissionThrottle.h"
#include "server/QueryExecutor.h"
#include "server/QueryJournal.h"
#include "server/ServerCore.h"
#include "server/ServerPaths.h"

namespace dovrel::server {

inline constexpr int LISTEN_BACKLOG = 100;

// The process-wide objects made so far, handed to the factories that come later.
struct ServerComponents {
  std::shared_ptr<permissions::PeerFilter> peerFilter;
  // Made after the executor, released after it (declaration order): the query parser saves
  // the tables when it is destroyed, and that commit must reach a journal that is still
  // open, or the next start would replay the saved work a second time.
  std::shared_ptr<QueryJournal> journal;
  std::shared_ptr<QueryExecutor> executor;
};

// How the process-wide objects are made, called in this order on the main thread after the
// socket listens: the peer filter (the network permissions), the executor (the query
// parser, which loads the tables and the security store), the journal (which replays a
// journal left by a crash through the executor before any connection is accepted). A
// factory refuses by throwing TextError, SemanticError or DiskOrMemoryError; its message
// is printed and the start fails. Missing factories give AllowAllPeers, StandInExecutor
// and NullQueryJournal.
struct ServerFactories {
  std::function<std::shared_ptr<permissions::PeerFilter>(const ServerPaths&)> peerFilter;
  std::function<std::shared_ptr<QueryExecutor>(const ServerPaths&, const ServerComponents&)>
      executor;
  std::function<std::shared_ptr<QueryJournal>(const ServerPaths&, const ServerComponents&)> journal;
};

class Server {
 public:
  // `clock` (not owned; nullptr for the system clock) drives the admission throttle.
  Server(ServerPaths paths, ServerOptions options, TickClock* clock = nullptr);

  // Opens, binds (port 0: any free port; `address` 0: every interface, else the IPv4
  // interface in host order) and listens, then makes the process-wide objects. False after
  // printing the message of the step that failed.
  bool start(int port, const ServerFactories& factories, uint32_t address = 0);
  // The port listened on, once started.
  uint16_t port() const { return port_; }
  const std::shared_ptr<ServerCore>& core() const { return core_; }

  // Accepts connections until accept fails for good (returns 1 after printing the error)
  // or stop() is called (returns 0).
  int acceptLoop();
  // Makes acceptLoop return 0 soon (it wakes the loop with a connection of its own).
  void stop();

 private:
  void admit(platform::AcceptResult& accepted);

  ServerPaths paths_;
  ServerOptions options_;
  SystemTickClock systemClock_;
  TickClock& clock_;
  platform::ListenSocket listener_;
  uint16_t port_ = 0;
  ServerComponents components_;
  std::shared_ptr<ServerCore> core_;
  std::atomic<bool> stopRequested_{false};
};

// The dotted text of an IPv4 address whose first octet is the most significant byte.
std::string ipAddressText(uint32_t address);

// The whole program: paths from argv[0], the command line, start-up and the accept loop.
// Returns the exit status (0 after a clean end or "--help", 1 when start-up or accept
// fails); a halt ends the process from a connection thread with status 0, and SIGTERM or
// SIGINT does the same halt from a thread of its own once the running query is done.
int serverMain(int argc, const char* const* argv, const ServerFactories& factories);

}  // namespace dovrel::server
