#include "reminders/reminder_clock.h"

#include <time.h>

#include <limits>

namespace talvo {
namespace {

double seconds(clockid_t clock) {
  struct timespec now {};
  // A clock that cannot be read gives NaN: the engine skips such a sample rather than guess.
  if (::clock_gettime(clock, &now) != 0) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

// CLOCK_MONOTONIC stops during a suspend and would hide it; the boot clock does not.
double SystemReminderClock::uptime() const { return seconds(CLOCK_BOOTTIME); }

double SystemReminderClock::wallTime() const { return seconds(CLOCK_REALTIME); }

}  // namespace talvo
