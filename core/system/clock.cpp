#include "core/system/clock.h"

#include <time.h>

#include <limits>

namespace talvo {
namespace {

double seconds(clockid_t id) {
  timespec now{};
  if (::clock_gettime(id, &now) != 0) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

class SystemClock final : public Clock {
 public:
  double monotonicSeconds() const override { return seconds(CLOCK_MONOTONIC); }
  double bootSeconds() const override { return seconds(CLOCK_BOOTTIME); }
  WallTime wallTime() const override { return std::chrono::system_clock::now(); }
};

}  // namespace

double monotonicSeconds() noexcept { return seconds(CLOCK_MONOTONIC); }

double Clock::wallSeconds() const { return std::chrono::duration<double>(wallTime().time_since_epoch()).count(); }

const std::shared_ptr<const Clock>& Clock::system() {
  static const auto* const clock = new std::shared_ptr<const Clock>(std::make_shared<SystemClock>());
  return *clock;
}

}  // namespace talvo
