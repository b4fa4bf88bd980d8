#pragma once
// Where the tray icon is, as far as placing a panel under it is concerned. Coordinates are
// desktop coordinates as X11 and Qt count them: origin at the top left, y growing downwards.
#include <optional>

#include "core/tray/screen_rect.h"

namespace talvo {

// Which way a panel hangs from the icon: down from a bar at the top of the screen (the usual
// place), or up from a bar at the bottom, as many Linux desktops have it.
enum class PanelOpening { downward, upward };

struct TrayAnchor {
  ScreenRect rect;          // the icon (may have zero size)
  ScreenRect visibleFrame;  // the usable area of the icon's screen, without panels and docks
  PanelOpening opening = PanelOpening::downward;

  bool operator==(const TrayAnchor&) const = default;

  // When the icon itself cannot be located: a point in the top bar, 192 points from the right
  // edge of the given screen's usable area, so a reminder still hangs near where the icon
  // usually is.
  static TrayAnchor reminderFallback(const ScreenRect& visibleFrame);

  // Many trays (StatusNotifierItem hosts) never say where the icon is. Then the edge of the
  // screen that holds the panel bar is the one the usable area leaves free: a bar at the bottom
  // gets a point 192 points from the right just below the usable area, and the panel opens
  // upward; otherwise the top-bar fallback above.
  static TrayAnchor barEdgeFallback(const ScreenRect& screenFrame, const ScreenRect& visibleFrame);

  // The point where the user just clicked the icon stands in for the icon itself. The panel
  // opens away from the bar edge nearest to that point.
  static TrayAnchor clickPoint(ScreenPoint point, const ScreenRect& screenFrame, const ScreenRect& visibleFrame);

  // Whether a point lies in a bar strip: on the screen but outside its usable area.
  static bool inBarStrip(ScreenPoint point, const ScreenRect& screenFrame, const ScreenRect& visibleFrame);

  // A click position a tray host reports: the click point when it lies in a bar strip, where
  // icons are; anything else (a stale pointer position, a host that makes one up) would hang
  // the panel in mid-screen, so the bar-edge fallback stands in. `barUnknown`: the screen's bars
  // cannot be known (X11 with several monitors gives one usable area for all of them), so with
  // none seen on this screen a point within barReach of one of its edges counts as in a bar.
  static constexpr double barReach = 72;
  static TrayAnchor hostClick(ScreenPoint point, const ScreenRect& screenFrame, const ScreenRect& visibleFrame,
                              bool barUnknown = false);
  // The pointer when the user chose an entry of the menu a host shows under the icon (GNOME's
  // AppIndicator extension opens it on a single click): the entry sits in the icon's column just
  // past the bar, so the pointer's x at the bar's edge stands in for the icon; in a bar strip the
  // pointer is the click itself.
  static TrayAnchor menuEntry(ScreenPoint pointer, const ScreenRect& screenFrame, const ScreenRect& visibleFrame);
};

}  // namespace talvo
