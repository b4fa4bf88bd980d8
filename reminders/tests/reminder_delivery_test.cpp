#include "reminders/reminder_delivery.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace talvo {
namespace {

TEST(ReminderDelivery, WithdrawsANoticeWhosePermissionWentAwayWhilePosting) {
  std::string log;
  bool admitted = true;
  auto post = [&](auto add) { ReminderDelivery::post([&] { return admitted; }, add, [&] { log += "remove;"; }); };
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

}  // namespace
}  // namespace talvo
