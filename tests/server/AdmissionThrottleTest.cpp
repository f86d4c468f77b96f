// The 16-per-tick-second admission limit, with a clock that moves only when slept on.
#include <gtest/gtest.h>

#include <vector>

#include "server/AdmissionThrottle.h"

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

}  // namespace
}  // namespace dovrel::server
