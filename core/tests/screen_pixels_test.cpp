#include "core/tray/screen_pixels.h"

#include <gtest/gtest.h>

#include <vector>

namespace talvo {
namespace {

TEST(ScreenPixels, HostPixelsBecomeUnitsOfTheScreenThatHoldsThem) {
  // A laptop at scale 2 (2560×1600 pixels, 1280×800 units) left of a monitor at scale 1 whose
  // pixels start at 2560; Qt keeps each screen's corner, so the monitor starts at 2560 units too.
  const std::vector<ScaledScreen> screens{{{0, 0, 1280, 800}, 2}, {{2560, 0, 1920, 1080}, 1}};
  struct Row {
    ScreenPoint pixels;
    std::optional<ScreenPoint> units;
  };
  const Row table[] = {
      {{2540, 10}, ScreenPoint{1270, 5}},  // the laptop's top bar at its right end
      {{0, 1599}, ScreenPoint{0, 799.5}},  // its bottom left corner
      {{2560, 5}, ScreenPoint{2560, 5}},   // the monitor's first pixel: not the laptop's
      {{4000, 1070}, ScreenPoint{4000, 1070}},
      {{4480, 0}, std::nullopt},    // right of every screen
      {{100, 1700}, std::nullopt},  // below the laptop
  };
  for (const Row& row : table) {
    EXPECT_EQ(ScreenPixels::toDeviceIndependent(row.pixels, screens), row.units) << row.pixels.x << "," << row.pixels.y;
  }
  // Scale 1 everywhere: nothing changes; a broken ratio counts as 1.
  const std::vector<ScaledScreen> plain{{{0, 0, 1280, 800}, 0}};
  EXPECT_EQ(ScreenPixels::toDeviceIndependent({1279, 10}, plain), (ScreenPoint{1279, 10}));
}

}  // namespace
}  // namespace talvo
