#include "core/tray/screen_pixels.h"

namespace talvo::ScreenPixels {

std::optional<ScreenPoint> toDeviceIndependent(ScreenPoint pixels, std::span<const ScaledScreen> screens) {
  for (const ScaledScreen& screen : screens) {
    const double ratio = screen.ratio > 0 ? screen.ratio : 1;
    const ScreenRect& g = screen.geometry;
    const ScreenRect inPixels{g.x, g.y, g.width * ratio, g.height * ratio};
    if (!inPixels.contains(pixels)) continue;
    return ScreenPoint{g.x + (pixels.x - g.x) / ratio, g.y + (pixels.y - g.y) / ratio};
  }
  return std::nullopt;
}

}  // namespace talvo::ScreenPixels
