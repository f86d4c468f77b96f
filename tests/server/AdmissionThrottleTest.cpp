// The 16-per-tick-second admission limit, with a clock that moves only when slept on.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <semaphore>
#include <vector>

#include "server/AdmissionQueue.h"
#include "server/AdmissionThrottle.h"
#include "server/FailedLogins.h"

namespace dovrel::server {
namespace {

class FakeClock final : public TickClock {
 public:
  uint64_t tickMs() override { return now; }
  void sleepMs(uint32_t milliseconds) override {
    sleeps.push_back(milliseconds);
    now += milliseconds;
  }
  uint64_t now = 5250;
  std::vector<uint32_t> sleeps;
};

TEST(AdmissionThrottleTest, SeventeenthConnectionSleepsUntilTheNextSecond) {
  FakeClock clock;
  AdmissionThrottle throttle(clock);
  throttle.start();
  for (int i = 0; i < 16; ++i) throttle.admit();
  EXPECT_TRUE(clock.sleeps.empty());
  clock.now = 5900;
  throttle.admit();
  // One sleep to the second's boundary, never a busy loop.
  EXPECT_EQ(clock.sleeps, std::vector<uint32_t>{100});
  EXPECT_EQ(clock.now, 6000u);
  // The 17th counted as the first of the new second: 15 more pass, the next one waits.
  for (int i = 0; i < 15; ++i) throttle.admit();
  EXPECT_EQ(clock.sleeps.size(), 1u);
  throttle.admit();
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{100, 1000}));
}

TEST(AdmissionThrottleTest, NewSecondStartsANewCount) {
  FakeClock clock;
  AdmissionThrottle throttle(clock);
  throttle.start();
  for (int i = 0; i < 16; ++i) throttle.admit();
  clock.now += 1000;
  for (int i = 0; i < 16; ++i) throttle.admit();
  EXPECT_TRUE(clock.sleeps.empty());
}

// A peer that has many connections waiting gets one start per turn: another peer's
// connection, offered after all of them, is started after one of its, not after all.
TEST(AdmissionQueueTest, PeersTakeTurnsAtTheThrottle) {
  FakeClock clock;
  AdmissionThrottle throttle(clock);
  std::mutex mutex;
  std::vector<uint32_t> started;
  std::binary_semaphore firstStarted{0};
  std::binary_semaphore allOffered{0};
  std::counting_semaphore<64> done{0};
  {
    AdmissionQueue queue(throttle, [&](PendingConnection connection) {
      bool first;
      {
        std::lock_guard<std::mutex> lock(mutex);
        started.push_back(connection.peerAddress);
        first = started.size() == 1;
      }
      if (first) {
        firstStarted.release();
        allOffered.acquire();
      }
      done.release();
    });
    const auto offer = [&](uint32_t peer) {
      PendingConnection connection;
      connection.peerAddress = peer;
      EXPECT_TRUE(queue.offer(connection));
    };
    offer(1);
    firstStarted.acquire();
    for (int i = 0; i < 19; ++i) offer(1);
    offer(2);
    allOffered.release();
    for (int i = 0; i < 21; ++i) done.acquire();
    // A peer's waiting connections are bounded.
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(started.size(), 21u);
    EXPECT_EQ(std::count(started.begin(), started.end(), 2u), 1);
    EXPECT_EQ(std::find(started.begin(), started.end(), 2u) - started.begin(), 2);
  }
  // The throttle still allows 16 a second in all: 21 starts slept once.
  EXPECT_EQ(clock.sleeps.size(), 1u);
}

TEST(FailedLoginsTest, DelayDoublesToTheCeilingPerPeerAndUserAndIsForgotten) {
  FailedLogins logins(100, 1000, 60000);
  const struct {
    uint64_t at;
    uint32_t peer;
    const char* user;
    uint32_t delay;
  } steps[] = {
      {0, 1, "bob", 100},                                // first failure
      {10, 1, "bob", 200},                               // doubles
      {20, 1, "alice", 400},                             // the same peer: its delay goes on growing
      {30, 2, "bob", 400},                               // another peer for bob: bob's delay
      {40, 3, "carol", 100},                             // a new peer and user start afresh
      {50, 1, "dave", 800},    {60, 1, "dave", 1000},    // the ceiling
      {70, 1, "dave", 1000},   {60071, 1, "dave", 100},  // quiet for longer than the forget period
      {60072, 1, "erin", 200},  // a new user, but the peer failed just before
  };
  for (const auto& step : steps) {
    EXPECT_EQ(logins.failed(step.peer, step.user, step.at), step.delay) << step.at;
  }
}

}  // namespace
}  // namespace dovrel::server
