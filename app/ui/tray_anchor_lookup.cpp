#include "app/ui/tray_anchor_lookup.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QSystemTrayIcon>

#include "app/ui/anchored_menu_panel.h"
#include "core/tray_panel_placement.h"

namespace talvo::TrayAnchorLookup {

std::optional<TrayAnchor> fromGeometry(const QRect& iconGeometry) {
  if (!iconGeometry.isValid() || iconGeometry.isEmpty()) return std::nullopt;
  QScreen* screen = QGuiApplication::screenAt(iconGeometry.center());
  if (!screen) return std::nullopt;
  const ScreenRect rect = AnchoredMenuPanel::toPlacement(iconGeometry);
  const ScreenRect screenFrame = AnchoredMenuPanel::toPlacement(screen->geometry());
  const auto opening = TrayPanelPlacement::opening(rect, screenFrame);
  if (!opening) return std::nullopt;
  return TrayAnchor{rect, AnchoredMenuPanel::toPlacement(screen->availableGeometry()), *opening};
}

std::optional<TrayAnchor> fromIcon(const QSystemTrayIcon& icon) {
  if (!icon.isVisible()) return std::nullopt;
  return fromGeometry(icon.geometry());
}

std::optional<TrayAnchor> fromClick(QPoint globalPosition) {
  QScreen* screen = QGuiApplication::screenAt(globalPosition);
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return std::nullopt;
  return TrayAnchor::hostClick(ScreenPoint{double(globalPosition.x()), double(globalPosition.y())},
                               AnchoredMenuPanel::toPlacement(screen->geometry()),
                               AnchoredMenuPanel::toPlacement(screen->availableGeometry()));
}

std::optional<TrayAnchor> reminderFallback(QScreen* preferred) {
  QScreen* screen = preferred;
  if (!screen) screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return std::nullopt;
  return TrayAnchor::barEdgeFallback(AnchoredMenuPanel::toPlacement(screen->geometry()),
                                     AnchoredMenuPanel::toPlacement(screen->availableGeometry()));
}

}  // namespace talvo::TrayAnchorLookup
