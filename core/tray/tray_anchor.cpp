#include "core/tray/tray_anchor.h"

#include <algorithm>

namespace talvo {

TrayAnchor TrayAnchor::reminderFallback(const ScreenRect& visibleFrame) {
  return TrayAnchor{ScreenRect{visibleFrame.maxX() - 192, visibleFrame.minY() - 6, 0, 0}, visibleFrame};
}

namespace {

// The bar sits where the usable area stops short of the screen; with no bar detected (or bars on
// both edges) the half of the screen holding `y` decides.
PanelOpening openingAt(double y, const ScreenRect& screenFrame, const ScreenRect& visibleFrame) {
  const double top = visibleFrame.minY() - screenFrame.minY();
  const double bottom = screenFrame.maxY() - visibleFrame.maxY();
  if (top > 0 && !(bottom > 0)) return PanelOpening::downward;
  if (bottom > 0 && !(top > 0)) return PanelOpening::upward;
  return y > screenFrame.midY() ? PanelOpening::upward : PanelOpening::downward;
}

}  // namespace

TrayAnchor TrayAnchor::barEdgeFallback(const ScreenRect& screenFrame, const ScreenRect& visibleFrame) {
  if (openingAt(screenFrame.minY(), screenFrame, visibleFrame) == PanelOpening::downward) {
    return reminderFallback(visibleFrame);
  }
  return TrayAnchor{ScreenRect{visibleFrame.maxX() - 192, visibleFrame.maxY() + 6, 0, 0}, visibleFrame,
                    PanelOpening::upward};
}

TrayAnchor TrayAnchor::clickPoint(ScreenPoint point, const ScreenRect& screenFrame, const ScreenRect& visibleFrame) {
  return TrayAnchor{ScreenRect{point.x, point.y, 0, 0}, visibleFrame, openingAt(point.y, screenFrame, visibleFrame)};
}

bool TrayAnchor::inBarStrip(ScreenPoint point, const ScreenRect& screenFrame, const ScreenRect& visibleFrame) {
  // Pixel rows and columns: a rectangle holds its top and left edges, not its bottom and right.
  auto inside = [&](const ScreenRect& r) {
    return point.x >= r.minX() && point.x < r.maxX() && point.y >= r.minY() && point.y < r.maxY();
  };
  return inside(screenFrame) && !inside(visibleFrame);
}

TrayAnchor TrayAnchor::hostClick(ScreenPoint point, const ScreenRect& screenFrame, const ScreenRect& visibleFrame,
                                 bool barUnknown) {
  if (inBarStrip(point, screenFrame, visibleFrame)) return clickPoint(point, screenFrame, visibleFrame);
  if (barUnknown && visibleFrame == screenFrame && screenFrame.contains(point) &&
      !screenFrame.insetBy(barReach).contains(point)) {
    return clickPoint(point, screenFrame, visibleFrame);
  }
  return barEdgeFallback(screenFrame, visibleFrame);
}

TrayAnchor TrayAnchor::menuEntry(ScreenPoint pointer, const ScreenRect& screenFrame, const ScreenRect& visibleFrame) {
  if (inBarStrip(pointer, screenFrame, visibleFrame)) return clickPoint(pointer, screenFrame, visibleFrame);
  if (!screenFrame.contains(pointer)) return barEdgeFallback(screenFrame, visibleFrame);
  const double x = std::clamp(pointer.x, visibleFrame.minX(), visibleFrame.maxX());
  // The host's menu hangs from its bar: with bars at both edges, the one nearer the pointer.
  const bool topBar = visibleFrame.minY() > screenFrame.minY();
  const bool bottomBar = visibleFrame.maxY() < screenFrame.maxY();
  if (bottomBar && (!topBar || pointer.y > visibleFrame.midY())) {
    return TrayAnchor{ScreenRect{x, visibleFrame.maxY() + 6, 0, 0}, visibleFrame, PanelOpening::upward};
  }
  TrayAnchor anchor = barEdgeFallback(screenFrame, visibleFrame);
  anchor.rect.x = x;
  return anchor;
}

}  // namespace talvo
