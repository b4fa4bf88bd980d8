#include "app/shell/process_entry.h"

#include <QApplication>
#include <cstdlib>
#include <string_view>

#include "app/shell/app_delegate.h"
#include "app/shell/instance_bus.h"
#include "app/shell/qt_log_sink.h"
#include "core/program/native_product.h"
#include "core/program/service_configuration.h"

namespace talvo {
namespace {

// Wayland lets no client place its own windows, so panels could not hang under the tray icon.
// On a Wayland session with an X server at hand (XWayland) the program runs on X11 instead,
// unless the user chose a platform explicitly.
void preferX11UnderWayland() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform != nullptr && *platform != '\0') return;
  const char* session = std::getenv("XDG_SESSION_TYPE");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* x11 = std::getenv("DISPLAY");
  const bool onWayland =
      (session != nullptr && std::string_view(session) == "wayland") || (wayland != nullptr && *wayland != '\0');
  if (onWayland && x11 != nullptr && *x11 != '\0') qputenv("QT_QPA_PLATFORM", "xcb");
}

// The one place the service's address is decided: a development build may be pointed at a local
// fake service (a production build ignores these).
ServiceConfiguration serviceFromEnvironment() {
  return ServiceConfiguration::withOverrides(std::getenv("TALVO_SERVICE_ORIGIN"), std::getenv("TALVO_TELEGRAM_HOST"),
                                             std::getenv("TALVO_CA_FILE"));
}

}  // namespace

int processEntry(int argc, char** argv) {
  // `talvo --quit`: ask a running instance to quit (the menu entry's "Выйти" action); silent
  // when none runs.
  if (argc == 2 && std::string_view(argv[1]) == "--quit") {
    QCoreApplication client(argc, argv);
    InstanceBus::quitRunningInstance();
    return 0;
  }
  preferX11UnderWayland();
  InstanceBus::keepLaunchTokens();
  QApplication application(argc, argv);
  qt_log_sink::install();
  QApplication::setApplicationName(QString::fromLatin1(NativeProduct::name));
  QApplication::setDesktopFileName(QString::fromLatin1(NativeProduct::applicationId));
  // No main window and no taskbar entry: the program lives in the tray and closing a panel
  // must not end it.
  QApplication::setQuitOnLastWindowClosed(false);
  AppDelegate delegate(serviceFromEnvironment());
  if (!delegate.launch()) return 0;
  return QApplication::exec();
}

}  // namespace talvo
