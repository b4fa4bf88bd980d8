#include "app/tray/tray_anchor_lookup.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QSystemTrayIcon>

#include "app/ui/anchored_panel.h"
#include "core/tray/screen_pixels.h"
#include "core/tray/tray_panel_placement.h"

#include <vector>

namespace talvo::TrayAnchorLookup {

std::optional<TrayAnchor> fromGeometry(const QRect& iconGeometry) {
  if (!iconGeometry.isValid() || iconGeometry.isEmpty()) return std::nullopt;
  QScreen* screen = QGuiApplication::screenAt(iconGeometry.center());
  if (!screen) return std::nullopt;
  const ScreenRect rect = AnchoredPanel::toPlacement(iconGeometry);
  const ScreenRect screenFrame = AnchoredPanel::toPlacement(screen->geometry());
  const auto opening = TrayPanelPlacement::opening(rect, screenFrame);
  if (!opening) return std::nullopt;
  return TrayAnchor{rect, AnchoredPanel::toPlacement(screen->availableGeometry()), *opening};
}

std::optional<TrayAnchor> fromIcon(const QSystemTrayIcon& icon) {
  if (!icon.isVisible()) return std::nullopt;
  return fromGeometry(icon.geometry());
}

std::optional<TrayAnchor> fromClick(QPoint globalPosition) {
  QScreen* screen = QGuiApplication::screenAt(globalPosition);
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return std::nullopt;
  // X11 names one usable area for the whole desktop, not one per monitor: with several monitors
  // a monitor's own bar may be unknown.
  const bool barUnknown =
      QGuiApplication::platformName().startsWith(QLatin1String("xcb")) && QGuiApplication::screens().size() > 1;
  return TrayAnchor::hostClick(ScreenPoint{double(globalPosition.x()), double(globalPosition.y())},
                               AnchoredPanel::toPlacement(screen->geometry()),
                               AnchoredPanel::toPlacement(screen->availableGeometry()), barUnknown);
}

std::optional<QPoint> fromScreenPixels(QPoint pixels) {
  std::vector<ScaledScreen> screens;
  for (QScreen* screen : QGuiApplication::screens()) {
    screens.push_back({AnchoredPanel::toPlacement(screen->geometry()), screen->devicePixelRatio()});
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
                               AnchoredPanel::toPlacement(screen->geometry()),
                               AnchoredPanel::toPlacement(screen->availableGeometry()));
}

std::optional<TrayAnchor> reminderFallback(QScreen* preferred) {
  QScreen* screen = preferred;
  if (!screen) screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return std::nullopt;
  return TrayAnchor::barEdgeFallback(AnchoredPanel::toPlacement(screen->geometry()),
                                     AnchoredPanel::toPlacement(screen->availableGeometry()));
}

}  // namespace talvo::TrayAnchorLookup
