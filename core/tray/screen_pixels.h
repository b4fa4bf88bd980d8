#pragma once
// Screen pixels, as the X server and StatusNotifierItem hosts count them (a host passes the
// click to Activate(x, y) in pixels of the screen, whatever the toolkit's scale), against the
// toolkit's device-independent units. Each screen keeps its top left corner in both and scales
// its size by its own ratio, so two monitors may differ.
#include <optional>
#include <span>

#include "core/tray/screen_rect.h"

namespace talvo {

struct ScaledScreen {
  ScreenRect geometry;  // in device-independent units
  double ratio = 1;     // pixels per unit
};

namespace ScreenPixels {

// The point in device-independent units; none when no screen holds it.
std::optional<ScreenPoint> toDeviceIndependent(ScreenPoint pixels, std::span<const ScaledScreen> screens);

}  // namespace ScreenPixels
}  // namespace talvo
