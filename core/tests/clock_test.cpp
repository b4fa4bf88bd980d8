#include "core/system/clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <ctime>

namespace talvo {
namespace {

double read(clockid_t id) {
  timespec now{};
  ::clock_gettime(id, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST(SystemClock, ReadsTheSystemClocks) {
  const Clock& clock = *Clock::system();
  // The boot clock counts a suspend, so a suspend shows up as a gap between two readings.
  for (auto [id, reading] :
       {std::pair{CLOCK_BOOTTIME, &Clock::bootSeconds}, {CLOCK_MONOTONIC, &Clock::monotonicSeconds}}) {
    const double before = read(id);
    const double first = (clock.*reading)();
    const double second = (clock.*reading)();
    const double after = read(id);
    EXPECT_GE(first, before);
    EXPECT_LE(second, after);
    EXPECT_GE(second, first);
  }
  EXPECT_NEAR(clock.wallSeconds(), static_cast<double>(std::time(nullptr)), 5);
}

}  // namespace
}  // namespace talvo
