// The connections accepted but not started yet, one queue per peer, started by a thread of
// their own through the admission throttle, taking the peers in turn. So the accept loop
// never sleeps for the throttle, and a peer that opens connections in a loop delays
// another peer's connection by one of its own per turn, not by its whole backlog. Offered
// by the accept loop (main thread); started on the admission thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/Socket.h"
#include "server/AdmissionThrottle.h"
#include "server/ServerCore.h"

namespace dovrel::server {

// An accepted, permitted connection waiting for its start.
struct PendingConnection {
  platform::Socket socket;
  ConnectionSlot slot;
  uint32_t peerAddress = 0;
};

class AdmissionQueue {
 public:
  // Connections one peer may have waiting at once; one more is refused (a burst of this
  // many from one client is still served, a second's worth at a time).
  static constexpr std::size_t WAITING_PER_PEER = 256;

  // Starts the admission thread, which passes each connection to `start` once `throttle`
  // (used by that thread only; it must outlive the queue) lets it.
  AdmissionQueue(AdmissionThrottle& throttle, std::function<void(PendingConnection)> start);
  // Stops the thread; connections still waiting are closed.
  ~AdmissionQueue();
  AdmissionQueue(const AdmissionQueue&) = delete;
  AdmissionQueue& operator=(const AdmissionQueue&) = delete;

  // Queues the connection behind the peer's others. False when the peer has
  // WAITING_PER_PEER waiting already; `connection` is then left with the caller.
  bool offer(PendingConnection& connection);

 private:
  void run();

  AdmissionThrottle& throttle_;
  const std::function<void(PendingConnection)> start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  // Peers with connections waiting, in the order of their next turn; guarded by mutex_.
  std::deque<uint32_t> turns_;
  std::unordered_map<uint32_t, std::deque<PendingConnection>> waiting_;
  bool stopping_ = false;
  std::thread thread_;  // last: started once everything above exists
};

}  // namespace dovrel::server
