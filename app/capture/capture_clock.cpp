#include "app/capture/capture_clock.h"

#include <time.h>

namespace talvo {
namespace {

double readClock(clockid_t id) noexcept {
  timespec now{};
  clock_gettime(id, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

double monotonicSeconds() noexcept { return readClock(CLOCK_MONOTONIC); }

double SystemCaptureClock::hostSeconds() const { return readClock(CLOCK_MONOTONIC); }
double SystemCaptureClock::continuousSeconds() const { return readClock(CLOCK_BOOTTIME); }
WallTime SystemCaptureClock::wallTime() const { return std::chrono::system_clock::now(); }

}  // namespace talvo
