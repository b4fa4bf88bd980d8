#pragma once
// Where the tray icon is on Linux. XEmbed trays report the icon's geometry; StatusNotifierItem
// hosts (GNOME's AppIndicator extension, KDE Plasma, waybar) usually report none. Then the main
// panel hangs from the point where the user just clicked the icon, and the reminder from the
// edge of the screen that holds the panel bar.
#include <QPoint>
#include <QRect>
#include <optional>

#include "core/tray/tray_anchor.h"

class QScreen;
class QSystemTrayIcon;

namespace talvo::TrayAnchorLookup {

// The icon's own rectangle when the tray reports a plausible one (in a bar at the top or the
// bottom of its screen).
std::optional<TrayAnchor> fromGeometry(const QRect& iconGeometry);
std::optional<TrayAnchor> fromIcon(const QSystemTrayIcon& icon);
// The point of the click that opened the panel, on the screen holding it, when it lies in a
// bar strip (on X11 with several monitors, near an edge of a screen with no bar known); the
// bar-edge fallback otherwise.
std::optional<TrayAnchor> fromClick(QPoint globalPosition);
// A host's click position (screen pixels) in Qt's units, on whichever screen holds it.
std::optional<QPoint> fromScreenPixels(QPoint pixels);
// The pointer's column at the bar's edge, for a panel opened from an entry of the host's own menu
// (which hangs under the icon); nothing where the pointer is not seen (Wayland).
std::optional<TrayAnchor> fromPointer();
// The bar edge of `preferred`, else of the screen under the mouse, else of the primary screen.
std::optional<TrayAnchor> reminderFallback(QScreen* preferred);

}  // namespace talvo::TrayAnchorLookup
