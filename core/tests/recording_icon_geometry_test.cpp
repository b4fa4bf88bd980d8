#include "core/tray/recording_icon_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace talvo {
namespace {

TEST(RecordingIconGeometry, BarsFollowTheNewestSevenLevels) {
  std::vector<float> levels = {1, 1, 1, 0.25f, 0, -1, 4, NAN, INFINITY, 0.25f};  // ten values
  const auto icon = RecordingIconGeometry::make(levels, false);
  EXPECT_EQ(icon.size, (ScreenSize{30, 18}));
  ASSERT_EQ(icon.bars.size(), 7u);
  const double heights[] = {7.5, 2, 2, 15, 2, 2, 7.5};  // 0.25, 0, -1, 4, NaN, inf, 0.25
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_DOUBLE_EQ(icon.bars[i].height, heights[i]) << i;
    EXPECT_DOUBLE_EQ(icon.bars[i].x, 3.1 * static_cast<double>(i));
    EXPECT_DOUBLE_EQ(icon.bars[i].width, 2.1);
    EXPECT_DOUBLE_EQ(icon.bars[i].midY(), 9);  // centred vertically
  }
  EXPECT_NEAR(icon.bars.back().maxX(), 20.7, 1e-9);
  EXPECT_EQ(icon.dot, (ScreenRect{24, 5, 8, 8}));
}

TEST(RecordingIconGeometry, SimpleIconIsOnlyTheDot) {
  std::vector<float> levels(7, 0.5f);
  const auto icon = RecordingIconGeometry::make(levels, true);
  EXPECT_EQ(icon.size, (ScreenSize{18, 18}));
  EXPECT_TRUE(icon.bars.empty());
  EXPECT_EQ(icon.dot, (ScreenRect{4, 5, 8, 8}));
  EXPECT_TRUE(RecordingIconGeometry::make({}, false).bars.empty());
}

}  // namespace
}  // namespace talvo
