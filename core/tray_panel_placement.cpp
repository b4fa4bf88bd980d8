#include "core/tray_panel_placement.h"

#include <algorithm>

namespace talvo::TrayPanelPlacement {
namespace {

// Reflection in the x axis: what lies above becomes below.
ScreenRect mirrored(const ScreenRect& rect) { return ScreenRect{rect.x, -rect.maxY(), rect.width, rect.height}; }

}  // namespace

bool validTopAnchor(const ScreenRect& anchor, const ScreenRect& screenFrame) {
  if (!anchor.isFinite() || !screenFrame.isFinite()) return false;
  if (!(anchor.width > 0 && anchor.height > 0 && anchor.height <= 64)) return false;
  if (!(screenFrame.width > 0 && screenFrame.height > 0)) return false;
  const double topDistance = screenFrame.maxY() - anchor.maxY();
  if (!(topDistance >= -2 && topDistance <= 64)) return false;
  return anchor.intersects(screenFrame);
}

ScreenRect frame(const ScreenRect& anchor, const ScreenSize& size, const ScreenRect& visibleFrame, double gap) {
  const ScreenRect inset = visibleFrame.insetBy(8);
  const double width = std::min(std::max(inset.width, 1.0), std::max(size.width, 1.0));
  const double height = std::min(std::max(inset.height, 1.0), std::max(size.height, 1.0));
  // Centred under the icon, pushed inside the inset; when both limits conflict the right wins.
  const double x = std::min(inset.maxX() - width, std::max(inset.minX(), anchor.midX() - width / 2));
  const double top = std::min(visibleFrame.maxY(), anchor.minY() - gap);
  const double y = std::max(inset.minY(), std::min(visibleFrame.maxY() - height, top - height));
  return ScreenRect{x, y, width, height};
}

bool validBottomAnchor(const ScreenRect& anchor, const ScreenRect& screenFrame) {
  return validTopAnchor(mirrored(anchor), mirrored(screenFrame));
}

std::optional<PanelOpening> opening(const ScreenRect& anchor, const ScreenRect& screenFrame) {
  if (validTopAnchor(anchor, screenFrame)) return PanelOpening::downward;
  if (validBottomAnchor(anchor, screenFrame)) return PanelOpening::upward;
  return std::nullopt;
}

ScreenRect frame(const ScreenRect& anchor, const ScreenSize& size, const ScreenRect& visibleFrame, double gap,
                 PanelOpening opening) {
  if (opening == PanelOpening::downward) return frame(anchor, size, visibleFrame, gap);
  return mirrored(frame(mirrored(anchor), size, mirrored(visibleFrame), gap));
}

double arrowX(const ScreenRect& anchor, const ScreenRect& panel) { return anchor.midX() - panel.minX(); }

}  // namespace talvo::TrayPanelPlacement
