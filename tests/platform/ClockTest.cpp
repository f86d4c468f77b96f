// Clocks: the tick count covers a sleep; calendar times agree with the system and the zone.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/Clock.h"

namespace dovrel::platform {
namespace {

TEST(ClockTest, TickCountNeverGoesBackAndCoversASleep) {
  const uint64_t before = tickCountMs();
  sleepMs(0);
  sleepMs(30);
  const uint64_t after = tickCountMs();
  EXPECT_GE(after, before + 30);
}

TEST(ClockTest, UtcTimeMatchesTheSystemCalendar) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::time_t now = std::time(nullptr);
    const CalendarTime utc = utcTimeNow();
    std::tm expected{};
    gmtime_r(&now, &expected);
    if (expected.tm_sec != utc.second) continue;  // a second boundary passed in between
    EXPECT_EQ(utc.year, expected.tm_year + 1900);
    EXPECT_EQ(utc.month, expected.tm_mon + 1);
    EXPECT_EQ(utc.day, expected.tm_mday);
    EXPECT_EQ(utc.hour, expected.tm_hour);
    EXPECT_EQ(utc.minute, expected.tm_min);
    EXPECT_GE(utc.millisecond, 0);
    EXPECT_LT(utc.millisecond, 1000);
    return;
  }
  FAIL() << "the second changed on every attempt";
}

TEST(ClockTest, LocalTimeFollowsTheTimeZone) {
  const char* saved = std::getenv("TZ");
  const std::string old = saved != nullptr ? saved : "";
  // Three hours east of UTC, no daylight saving (POSIX writes the offset the other way).
  setenv("TZ", "MSK-3", 1);
  tzset();
  CalendarTime local{}, utc{};
  for (int attempt = 0; attempt < 3; ++attempt) {
    utc = utcTimeNow();
    local = localTimeNow();
    if (local.minute == utc.minute) break;
  }
  if (saved != nullptr) {
    setenv("TZ", old.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  EXPECT_EQ(local.hour, (utc.hour + 3) % 24);
  EXPECT_EQ(local.minute, utc.minute);
}

}  // namespace
}  // namespace dovrel::platform
