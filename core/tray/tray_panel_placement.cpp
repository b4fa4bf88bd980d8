#include "core/tray/tray_panel_placement.h"

#include <algorithm>

namespace talvo::TrayPanelPlacement {
namespace {

// A plausible icon whose bar edge lies `edgeDistance` from the icon's outer side.
bool plausibleIcon(const ScreenRect& anchor, const ScreenRect& screenFrame, double edgeDistance) {
  if (!anchor.isFinite() || !screenFrame.isFinite()) return false;
  if (!(anchor.width > 0 && anchor.height > 0 && anchor.height <= 64)) return false;
  if (!(screenFrame.width > 0 && screenFrame.height > 0)) return false;
  if (!(edgeDistance >= -2 && edgeDistance <= 64)) return false;
  return anchor.intersects(screenFrame);
}

}  // namespace

bool validTopAnchor(const ScreenRect& anchor, const ScreenRect& screenFrame) {
  return plausibleIcon(anchor, screenFrame, anchor.minY() - screenFrame.minY());
}

bool validBottomAnchor(const ScreenRect& anchor, const ScreenRect& screenFrame) {
  return plausibleIcon(anchor, screenFrame, screenFrame.maxY() - anchor.maxY());
}

std::optional<PanelOpening> opening(const ScreenRect& anchor, const ScreenRect& screenFrame) {
  if (validTopAnchor(anchor, screenFrame)) return PanelOpening::downward;
  if (validBottomAnchor(anchor, screenFrame)) return PanelOpening::upward;
  return std::nullopt;
}

ScreenRect frame(const ScreenRect& anchor, const ScreenSize& size, const ScreenRect& visibleFrame, double gap,
                 PanelOpening opening) {
  const ScreenRect inset = visibleFrame.insetBy(8);
  const double width = std::min(std::max(inset.width, 1.0), std::max(size.width, 1.0));
  const double height = std::min(std::max(inset.height, 1.0), std::max(size.height, 1.0));
  // Centred on the icon, pushed inside the inset; when both limits conflict the right wins.
  const double x = std::min(inset.maxX() - width, std::max(inset.minX(), anchor.midX() - width / 2));
  // Just past the icon, never beyond the usable edge the bar borders; when the content is too
  // tall the inset edge on the far side wins.
  const double y = opening == PanelOpening::downward
                       ? std::min(inset.maxY() - height, std::max(visibleFrame.minY(), anchor.maxY() + gap))
                       : std::max(inset.minY(), std::min(visibleFrame.maxY(), anchor.minY() - gap) - height);
  return ScreenRect{x, y, width, height};
}

ScreenRect frame(const ScreenRect& anchor, const ScreenSize& size, const ScreenRect& visibleFrame, double gap) {
  return frame(anchor, size, visibleFrame, gap, PanelOpening::downward);
}

double arrowX(const ScreenRect& anchor, const ScreenRect& panel) { return anchor.midX() - panel.minX(); }

}  // namespace talvo::TrayPanelPlacement
