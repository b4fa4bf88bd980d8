#pragma once
// X11 window properties Qt has no API for. A panel must stay out of the taskbar and the window
// switcher and show on every virtual desktop; and without a compositing manager a translucent
// window would show black corners, so the panel asks whether one runs.
#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <functional>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

class QObject;
class QWidget;

namespace talvo::X11WindowStates {

// Sets _NET_WM_STATE (skip taskbar, skip pager, above, sticky) and _NET_WM_DESKTOP = all on the
// widget's native window. Call while the window is not mapped; does nothing off X11.
void markAsPanel(QWidget* window);

// A launcher's startup notification id (DESKTOP_STARTUP_ID, here a second launch's handed over
// through the bus): before `window` maps, it carries the id, so the window manager knows the
// user asked for it and lets it take the focus.
void markStartup(QWidget* window, const QByteArray& startupId);
// Tells the launcher the startup is over (its busy pointer stops).
void completeStartup(QWidget* window, const QByteArray& startupId);
// True when a compositing manager owns _NET_WM_CM_S0, or when not on X11 (Wayland composites).
bool compositing();
// The window of the XEmbed system tray that owns _NET_SYSTEM_TRAY_S0 (a new tray has a new one);
// 0 when none runs or off X11.
uint32_t systemTray();
// The foreground colour the tray asks icons to use (_NET_SYSTEM_TRAY_COLORS, set by GNOME
// Flashback, Xfce and MATE trays), as 16-bit red, green, blue; nothing when it sets none.
std::optional<std::array<uint16_t, 3>> systemTrayForeground();
// Calls `changed` whenever an XEmbed tray takes the tray selection (a tray starts or restarts)
// or gives it up (the tray ended). Stops when the returned object is destroyed. Null off X11.
std::unique_ptr<QAbstractNativeEventFilter> watchTray(std::function<void()> changed);
// Calls `changed` whenever the user switches to another virtual desktop (_NET_CURRENT_DESKTOP of
// the root window changes). The returned object stops watching when destroyed. Null off X11.
std::unique_ptr<QAbstractNativeEventFilter> watchDesktopSwitch(std::function<void()> changed);
// Calls `pressed` whenever the left or right mouse button goes down anywhere on the screen, in any
// program's window: also on a desktop's panel bar, which never takes the focus. The press itself
// still goes to the window clicked. Stops when the returned object is destroyed. Null off X11 or
// without XInput 2.2.
std::unique_ptr<QObject> watchPointerPresses(std::function<void()> pressed);

}  // namespace talvo::X11WindowStates
