#include "app/ui/tray_icon_revival.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QSystemTrayIcon>
#include <QTimer>

namespace talvo {

TrayIconRevival::TrayIconRevival(QSystemTrayIcon* icon, QObject* parent)
    : QObject(parent),
      icon_(icon),
      watcher_(new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"), QDBusConnection::sessionBus(),
                                       QDBusServiceWatcher::WatchForRegistration, this)) {
  connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] {
    QTimer::singleShot(settleMs, this, [this] {
      if (!icon_ || !icon_->isVisible()) return;
      icon_->hide();  // drops Qt's item ...
      icon_->show();  // ... and registers a new one with the watcher now in place
    });
  });
}

}  // namespace talvo
