#include "core/recording/recording_levels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace talvo {
namespace {

TEST(RecordingLevels, AppendsTheLouderSourceSanitizedAndClamped) {
  RecordingLevels levels;
  EXPECT_EQ(levels.values(), (std::array<float, 35>{}));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  levels.append(0.3f, 0.7f);
  EXPECT_EQ(levels.values().back(), 0.7f);
  levels.append(1.5f, -2.0f);
  EXPECT_EQ(levels.values().back(), 1.0f);
  levels.append(nan, 0.2f);
  EXPECT_EQ(levels.values().back(), 0.2f);
  levels.append(inf, -inf);
  EXPECT_EQ(levels.values().back(), 0.0f);
  levels.append(-0.5f, -0.1f);
  EXPECT_EQ(levels.values().back(), 0.0f);
}

TEST(RecordingLevels, KeepsTheLast35AndTrayShowsTheNewest7) {
  RecordingLevels levels;
  for (int i = 1; i <= 40; ++i) levels.append(static_cast<float>(i) / 100.0f, 0.0f);
  for (std::size_t i = 0; i < 35; ++i) EXPECT_FLOAT_EQ(levels.values()[i], static_cast<float>(i + 6) / 100.0f);
  const auto tray = levels.tray();
  for (std::size_t i = 0; i < 7; ++i) EXPECT_FLOAT_EQ(tray[i], static_cast<float>(i + 34) / 100.0f);
  levels.reset();
  EXPECT_EQ(levels, RecordingLevels{});
}

}  // namespace
}  // namespace talvo
