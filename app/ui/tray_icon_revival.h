#pragma once
// A StatusNotifierItem tray that goes away (the desktop shell restarts) and comes back must be
// told about the icon again. Qt re-registers by itself when the new watcher appears, but the
// watcher may take the bus name before it answers calls, and that registration is then lost.
// This waits for the watcher to settle and then shows the icon afresh, which registers it again.
// XEmbed trays need nothing: Qt docks the icon into a new tray by itself.
#include <QObject>
#include <QPointer>

class QDBusServiceWatcher;
class QSystemTrayIcon;

namespace talvo {

class TrayIconRevival : public QObject {
  Q_OBJECT
 public:
  static constexpr int settleMs = 500;
  explicit TrayIconRevival(QSystemTrayIcon* icon, QObject* parent = nullptr);

 private:
  QPointer<QSystemTrayIcon> icon_;
  QDBusServiceWatcher* watcher_;
};

}  // namespace talvo
