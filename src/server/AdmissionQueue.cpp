// Per-peer queues of accepted connections, started in turn (see AdmissionQueue.h). The
// accept loop offers under the mutex; the admission thread takes under it and starts
// outside it, so an offer never waits for a start or a throttle's sleep.
#include "server/AdmissionQueue.h"

namespace dovrel::server {

AdmissionQueue::AdmissionQueue(AdmissionThrottle& throttle,
                               std::function<void(PendingConnection)> start)
    : throttle_(throttle), start_(std::move(start)), thread_([this] { run(); }) {}

AdmissionQueue::~AdmissionQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

bool AdmissionQueue::offer(PendingConnection& connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<PendingConnection>& queue = waiting_[connection.peerAddress];
    if (queue.size() >= WAITING_PER_PEER) return false;
    if (queue.empty()) turns_.push_back(connection.peerAddress);
    queue.push_back(std::move(connection));
  }
  wake_.notify_one();
  return true;
}

void AdmissionQueue::run() {
  throttle_.start();
  for (;;) {
    PendingConnection next;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !turns_.empty(); });
      if (stopping_) return;  // the waiting connections close with the queue
      const uint32_t peer = turns_.front();
      turns_.pop_front();
      auto found = waiting_.find(peer);
      next = std::move(found->second.front());
      found->second.pop_front();
      if (found->second.empty()) {
        waiting_.erase(found);
      } else {
        turns_.push_back(peer);  // its next one after every other peer's
      }
    }
    // A peer that connected and reset while it waited costs no start: connections that
    // open and reset in a loop then take nothing from the others' admission.
    if (next.socket.peerHasGone()) continue;  // closed here, its slot given back
    throttle_.admit();
    start_(std::move(next));
  }
}

}  // namespace dovrel::server
