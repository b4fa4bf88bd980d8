#include "autostart/login_startup_status.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

using enum LoginStartupStatus;

TEST(LoginStartupStatus, UnknownRawValuesMeanNotFound) {
  EXPECT_EQ(loginStartupStatusFromRaw(0), notRegistered);
  EXPECT_EQ(loginStartupStatusFromRaw(1), enabled);
  EXPECT_EQ(loginStartupStatusFromRaw(2), requiresApproval);
  EXPECT_EQ(loginStartupStatusFromRaw(3), notFound);
  EXPECT_EQ(loginStartupStatusFromRaw(7), notFound);
  EXPECT_EQ(loginStartupStatusFromRaw(-1), notFound);
}

}  // namespace
}  // namespace talvo
