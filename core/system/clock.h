#pragma once
// The program's clocks, behind one interface so tests can step them (testing/stepped_clock.h).
//   monotonic: CLOCK_MONOTONIC; stops while the computer sleeps. The sound server stamps audio
//              on it, so positions on a recording's timeline are measured on it.
//   boot:      CLOCK_BOOTTIME; runs through suspend, so a gap on it that the monotonic clock
//              does not show (or one longer than the expected interval) reveals a sleep.
//   wall:      CLOCK_REALTIME; for dates that are shown, stored or compared across restarts.
// A monotonic or boot clock that cannot be read gives NaN: callers skip such a reading.
#include <memory>

#include "core/values/internet_date_time.h"

namespace talvo {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual double monotonicSeconds() const = 0;
  virtual double bootSeconds() const = 0;
  virtual WallTime wallTime() const = 0;
  // The wall clock in seconds since 1970-01-01 UTC.
  double wallSeconds() const;

  // The system's clocks: one object for the whole program, never destroyed.
  static const std::shared_ptr<const Clock>& system();
};

// The system's monotonic clock, for deadlines and audio stamps that no test steps.
double monotonicSeconds() noexcept;

}  // namespace talvo
