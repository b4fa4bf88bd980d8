#include "app/ui/tray_anchor_lookup.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QSystemTrayIcon>

#include "app/ui/anchored_menu_panel.h"
#include "core/screen_pixels.h"
#include "core/tray_panel_placement.h"

#include <vector>

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

std::optional<QPoint> fromScreenPixels(QPoint pixels) {
  std::vector<ScaledScreen> screens;
  for (QScreen* screen : QGuiApplication::screens()) {
    screens.push_back({AnchoredMenuPanel::toPlacement(screen->geometry()), screen->devicePixelRatio()});
  }
  const auto units = ScreenPixels::toDeviceIndependent(ScreenPoint{double(pixels.x()), double(pixels.y())}, screens);
  if (!units) return std::nullopt;
  return QPointF(units->x, units->y).toPoint();
}

std::optional<TrayAnchor> fromPointer() {
  if (!QGuiApplication::platformName().startsWith(QLatin1String("xcb"))) return std::nullopt;
  const QPoint pointer = QCursor::pos();
  QScreen* screen = QGuiApplication::screenAt(pointer);
  if (!screen) return std::nullopt;
  return TrayAnchor::menuEntry(ScreenPoint{double(pointer.x()), double(pointer.y())},
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
