// The admission throttle: at most CONNECTIONS_PER_SECOND starts per tick-second (tick count
// divided by 1000). Main thread only.
#include "server/AdmissionThrottle.h"

#include "platform/Clock.h"

namespace dovrel::server {

uint64_t SystemTickClock::tickMs() { return platform::tickCountMs(); }
void SystemTickClock::sleepMs(uint32_t milliseconds) { platform::sleepMs(milliseconds); }

AdmissionThrottle::AdmissionThrottle(TickClock& clock) : clock_(clock) {}

void AdmissionThrottle::start() {
  second_ = clock_.tickMs() / 1000;
  count_ = 0;
}

void AdmissionThrottle::admit() {
  ++count_;
  uint64_t now = clock_.tickMs();
  if (now / 1000 != second_) {
    second_ = now / 1000;
    count_ = 1;
    return;
  }
  while (count_ > CONNECTIONS_PER_SECOND) {
    // Sleep to the start of the next second instead of yielding in a loop: the wait costs
    // nothing and the 17th connection starts as soon as it is allowed.
    clock_.sleepMs(static_cast<uint32_t>(1000 - now % 1000));
    now = clock_.tickMs();
    if (now / 1000 != second_) {
      second_ = now / 1000;
      count_ = 1;
    }
  }
}

}  // namespace dovrel::server
