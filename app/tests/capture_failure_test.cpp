#include "app/capture/capture_failure.h"

#include <gtest/gtest.h>

#include <string>

namespace talvo {
namespace {

const std::string formatText = "Устройство вернуло неподдержанный формат звука.";
const std::string diskText = "Недостаточно свободного места для записи.";

TEST(CaptureFailureTest, TextsFollowTheFixedWording) {
  EXPECT_STREQ(CaptureFailure::audio("микрофон прерван", -1).what(),
               "Не удалось включить микрофон прерван (-1). Проверьте разрешения звука.");
  EXPECT_STREQ(CaptureFailure::audio("звук компьютера", 561017449).what(),
               "Не удалось включить звук компьютера (561017449). Проверьте разрешения звука.");
  EXPECT_EQ(CaptureFailure::format().what(), formatText);
  EXPECT_EQ(CaptureFailure::disk().what(), diskText);
}

}  // namespace
}  // namespace talvo
