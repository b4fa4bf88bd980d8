#include "reminders/reminder_delivery.h"

#include <gtest/gtest.h>

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
  const double first = clock.uptime();
  const double second = clock.uptime();
  EXPECT_GT(first, 0);
  EXPECT_GE(second, first);
  EXPECT_NEAR(clock.wallTime(), static_cast<double>(std::time(nullptr)), 5);
}

}  // namespace
}  // namespace talvo
