#include "core/tray/ink_contrast.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

// The test tray's dark blue bar took black ink at 2.7:1; the better ink is white at over 3:1.
TEST(InkContrast, TheBetterInkReadsOnAnyBar) {
  const double blue = InkContrast::relativeLuminance(0x33, 0x55, 0x77);
  EXPECT_NEAR(InkContrast::ratio(0.0, blue), 2.7, 0.1);
  EXPECT_TRUE(InkContrast::lightInkOn(blue));
  EXPECT_GE(InkContrast::ratio(1.0, blue), 3.0);
  EXPECT_FALSE(InkContrast::lightInkOn(InkContrast::relativeLuminance(0xd6, 0xd6, 0xd6)));
  EXPECT_NEAR(InkContrast::ratio(1.0, 0.0), 21.0, 1e-9);
  for (int grey = 0; grey <= 255; grey += 5) {
    const double bar = InkContrast::relativeLuminance(grey, grey, grey);
    EXPECT_GE(InkContrast::ratio(InkContrast::lightInkOn(bar) ? 1.0 : 0.0, bar), 4.5) << grey;
  }
}

}  // namespace
}  // namespace talvo
