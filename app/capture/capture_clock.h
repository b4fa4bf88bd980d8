#pragma once
// The clocks of a recording, behind one interface so tests can step them.
//   host clock:       CLOCK_MONOTONIC; stops while the computer sleeps; the clock of the audio
//                     block timestamps, so positions on the timeline are measured on it.
//   continuous clock: CLOCK_BOOTTIME; keeps running through suspend, so the gap between the two
//                     tells a sleep (or a stalled capture thread) from a normal flush interval.
//   wall clock:       only for the report's start date.
#include "core/internet_date_time.h"

namespace talvo {

class CaptureClock {
 public:
  virtual ~CaptureClock() = default;
  virtual double hostSeconds() const = 0;
  virtual double continuousSeconds() const = 0;
  virtual WallTime wallTime() const = 0;
};

class SystemCaptureClock final : public CaptureClock {
 public:
  double hostSeconds() const override;
  double continuousSeconds() const override;
  WallTime wallTime() const override;
};

// CLOCK_MONOTONIC in seconds; the sources stamp their blocks with it.
double monotonicSeconds() noexcept;

}  // namespace talvo
