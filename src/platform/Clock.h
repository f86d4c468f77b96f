// Clocks and sleeping. Every function is thread-safe.
#pragma once

#include <cstdint>

namespace dovrel::platform {

// Milliseconds of a steady clock (never goes back); the tick count of the design.
uint64_t tickCountMs();
// Sleeps the calling thread; 0 yields the processor.
void sleepMs(uint32_t milliseconds);
// Low 32 bits of a high-resolution counter (CLOCK_MONOTONIC in nanoseconds): the source of
// password salts.
uint32_t performanceCounterLow32();

// A broken-down calendar time.
struct CalendarTime {
  int year;    // e.g. 2026
  int month;   // 1-12
  int day;     // 1-31
  int hour;    // 0-23
  int minute;  // 0-59
  int second;  // 0-60
  int millisecond;
};
CalendarTime localTimeNow();
CalendarTime utcTimeNow();

}  // namespace dovrel::platform
