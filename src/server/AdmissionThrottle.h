// The accept loop's limit of 16 connections started per tick-second. Used by the accept
// loop on the main thread only; the clock is injectable so tests need not wait.
#pragma once

#include <cstdint>

namespace dovrel::server {

// Tick source and sleep of the throttle.
class TickClock {
 public:
  virtual ~TickClock() = default;
  virtual uint64_t tickMs() = 0;
  virtual void sleepMs(uint32_t milliseconds) = 0;
};

// The steady system clock.
class SystemTickClock final : public TickClock {
 public:
  uint64_t tickMs() override;
  void sleepMs(uint32_t milliseconds) override;
};

class AdmissionThrottle {
 public:
  static constexpr uint32_t CONNECTIONS_PER_SECOND = 16;

  // The clock must outlive the throttle.
  explicit AdmissionThrottle(TickClock& clock);

  // Notes the current second; the count starts at 0.
  void start();
  // Counts one permitted connection and returns when it may start: at once for the first 16
  // of a tick-second; otherwise after sleeping until the second changes (never spinning).
  // Refused connections are not passed here, so they do not count.
  void admit();

 private:
  TickClock& clock_;
  uint64_t second_ = 0;
  uint32_t count_ = 0;
};

}  // namespace dovrel::server
