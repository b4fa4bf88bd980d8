#pragma once
// The two clocks the reminder engine reads. Durations inside one run (the onset delay, the idle
// period, gaps between samples) use `uptime`, which keeps counting while the computer sleeps, so
// a suspend shows up as a gap between samples and restarts the counting. The spacing between
// reminders must hold across restarts of the program, so it uses the wall clock.
namespace talvo {

class ReminderClock {
 public:
  virtual ~ReminderClock() = default;
  // Seconds of monotonic time since the system started, time spent suspended included.
  virtual double uptime() const = 0;
  // Seconds since 1970-01-01 UTC.
  virtual double wallTime() const = 0;
};

class SystemReminderClock final : public ReminderClock {
 public:
  double uptime() const override;    // CLOCK_BOOTTIME
  double wallTime() const override;  // CLOCK_REALTIME
};

}  // namespace talvo
