#include "core/recording/capture_progress_mailbox.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

TEST(CaptureProgressMailbox, CoalescesToTheNewestSnapshot) {
  CaptureProgressMailbox mailbox;
  EXPECT_FALSE(mailbox.drain().has_value());
  EXPECT_TRUE(mailbox.offer({1.0, 0.1f, 0.2f, std::nullopt}));
  EXPECT_FALSE(mailbox.offer({1.1, 0.3f, 0.4f, "warn"}));
  auto got = mailbox.drain();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, (CaptureProgressSnapshot{1.1, 0.3f, 0.4f, "warn"}));
  EXPECT_FALSE(mailbox.drain().has_value());
  EXPECT_TRUE(mailbox.offer({1.2, 0, 0, std::nullopt}));
}

}  // namespace
}  // namespace talvo
