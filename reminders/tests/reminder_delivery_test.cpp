#include "reminders/reminder_delivery.h"

#include <gtest/gtest.h>
#include <time.h>

#include <ctime>
#include <stdexcept>
#include <string>

#include "reminders/reminder_clock.h"

namespace talvo {
namespace {

TEST(ReminderDelivery, WithdrawsANoticeWhosePermissionWentAwayWhilePosting) {
  std::string log;
  bool admitted = true;
  auto post = [&](auto add) {
    ReminderDelivery::post([&] { return admitted; }, add, [&] { log += "remove;"; });
  };
  post([&] { log += "add;"; });
  EXPECT_EQ(log, "add;");

  log.clear();
  post([&] {
    log += "add;";
    admitted = false;  // revoked while the notice was being posted
  });
  EXPECT_EQ(log, "add;remove;");

  log.clear();
  post([&] { log += "add;"; });  // not admitted: nothing at all
  EXPECT_EQ(log, "");

  admitted = true;
  EXPECT_THROW(post([&]() -> void {
                 admitted = false;
                 throw std::runtime_error("service gone");
               }),
               std::runtime_error);
  EXPECT_EQ(log, "");  // a notice that was never posted is not removed
}

TEST(SystemReminderClock, ReadsTheSystemClocks) {
  SystemReminderClock clock;
  // The boot clock, which counts a suspend, so a suspend shows up as a gap between samples.
  struct timespec before {}, after {};
  ::clock_gettime(CLOCK_BOOTTIME, &before);
  const double first = clock.uptime();
  const double second = clock.uptime();
  ::clock_gettime(CLOCK_BOOTTIME, &after);
  EXPECT_GE(first, static_cast<double>(before.tv_sec) + before.tv_nsec / 1e9);
  EXPECT_LE(second, static_cast<double>(after.tv_sec) + after.tv_nsec / 1e9);
  EXPECT_GE(second, first);
  EXPECT_NEAR(clock.wallTime(), static_cast<double>(std::time(nullptr)), 5);
}

}  // namespace
}  // namespace talvo
