#pragma once
// Where a panel that hangs from the tray icon goes on screen: centred under the icon, kept 8
// points inside the usable area, just below the icon and never above the usable area, cut to
// the usable height when its content is taller. Coordinates have y growing downwards.
//
// A tray at the bottom of the screen is the same problem upside down: its panel opens upwards,
// just above the icon and never below the usable area.
#include <optional>

#include "core/tray/tray_anchor.h"
#include "core/tray/screen_rect.h"

namespace talvo::TrayPanelPlacement {

// The gap between the icon and the top of the panel's bubble.
inline constexpr double panelGap = 6;

// A plausible tray icon: finite rectangles, an icon of some size no taller than 64 points that
// lies on the screen, at most 64 points below the screen's top edge (and not more than 2 above).
// Anything else (e.g. the bar hidden by a full-screen window) is no place to hang a panel from.
bool validTopAnchor(const ScreenRect& anchor, const ScreenRect& screenFrame);

// The same rule for an icon in a bar at the bottom edge of the screen.
bool validBottomAnchor(const ScreenRect& anchor, const ScreenRect& screenFrame);

// How a panel opens from this icon: downward for a valid status anchor, upward for a valid
// bottom anchor, none when the icon is in neither kind of bar.
std::optional<PanelOpening> opening(const ScreenRect& anchor, const ScreenRect& screenFrame);

// The panel's frame for content of `size` under `anchor` within `visibleFrame`.
ScreenRect frame(const ScreenRect& anchor, const ScreenSize& size, const ScreenRect& visibleFrame, double gap);
// The same, opening in the given direction (upward: just above the icon).
ScreenRect frame(const ScreenRect& anchor, const ScreenSize& size, const ScreenRect& visibleFrame, double gap,
                 PanelOpening opening);

// Where the bubble's arrow goes inside a panel placed at `panel`: under the icon's centre.
double arrowX(const ScreenRect& anchor, const ScreenRect& panel);

}  // namespace talvo::TrayPanelPlacement
