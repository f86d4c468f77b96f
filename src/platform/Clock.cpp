// Clocks and sleeping on POSIX. Every function is thread-safe (localtime_r, gmtime_r).
#include "platform/Clock.h"

#include <time.h>

#include <thread>

namespace dovrel::platform {

namespace {

timespec now(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return ts;
}

CalendarTime calendar(bool local) {
  const timespec ts = now(CLOCK_REALTIME);
  const time_t seconds = ts.tv_sec;
  tm parts{};
  if (local) {
    ::localtime_r(&seconds, &parts);
  } else {
    ::gmtime_r(&seconds, &parts);
  }
  return CalendarTime{parts.tm_year + 1900,
                      parts.tm_mon + 1,
                      parts.tm_mday,
                      parts.tm_hour,
                      parts.tm_min,
                      parts.tm_sec,
                      static_cast<int>(ts.tv_nsec / 1000000)};
}

}  // namespace

uint64_t tickCountMs() {
  const timespec ts = now(CLOCK_MONOTONIC);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void sleepMs(uint32_t milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint32_t performanceCounterLow32() {
  const timespec ts = now(CLOCK_MONOTONIC);
  const uint64_t ns =
      static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
  return static_cast<uint32_t>(ns);
}

CalendarTime localTimeNow() { return calendar(true); }
CalendarTime utcTimeNow() { return calendar(false); }

}  // namespace dovrel::platform
