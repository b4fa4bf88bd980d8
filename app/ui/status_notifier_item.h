#pragma once
// The tray icon on StatusNotifierItem hosts (KDE Plasma, GNOME's AppIndicator extension, waybar,
// and any shell under Wayland), spoken over D-Bus by the program itself: the host passes the
// click position to Activate(x, y) and ContextMenu(x, y), and that position is the only true
// one under Wayland, where the pointer is never seen by an X11 client. The two-entry menu is
// also exported as com.canonical.dbusmenu for hosts that only show a menu they are given.
//
// The item registers with org.kde.StatusNotifierWatcher, and again whenever the watcher's owner
// changes (the shell restarted). A watcher may own its name a moment before it answers calls, so
// a registration that fails is retried until the watcher takes it.
#include <QDBusAbstractAdaptor>
#include <QDBusObjectPath>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QTimer>

class QDBusServiceWatcher;
class QMenu;

namespace talvo {

struct StatusNotifierPixmap {
  int width = 0;
  int height = 0;
  QByteArray argb;  // ARGB32, network byte order
};
using StatusNotifierPixmaps = QList<StatusNotifierPixmap>;

struct StatusNotifierToolTip {
  QString iconName;
  StatusNotifierPixmaps pixmaps;
  QString title;
  QString text;
};

class DBusMenuExporter;

class StatusNotifierItem : public QObject {
  Q_OBJECT
 public:
  static constexpr const char* objectPath = "/StatusNotifierItem";
  static constexpr const char* menuPath = "/MenuBar";
  static constexpr int retryMs = 500;

  explicit StatusNotifierItem(QMenu* menu, QObject* parent = nullptr);
  ~StatusNotifierItem() override;

  // True when a watcher runs and a host has told it that it shows items.
  static bool hostAvailable();

  // Takes the bus name, exports the item and the menu and registers with the watcher.
  bool publish();
  bool registered() const { return registered_; }
  QString serviceName() const { return serviceName_; }

  void setIcon(const QImage& image);
  // A themed icon hosts prefer and recolour for their bar; empty for none (the pixmap only).
  void setIconName(const QString& name);
  void setToolTip(const QString& text);

  // Read over D-Bus by hosts (the adaptor's properties).
  QString iconName() const { return iconName_; }
  StatusNotifierPixmaps iconPixmap() const { return pixmaps_; }
  QString toolTipText() const { return toolTip_; }

 signals:
  // The host's coordinates, in the desktop's global coordinates (0, 0 when it gave none).
  void activated(QPoint at);
  void contextMenuRequested(QPoint at);

  // Property-change signals the adaptor relays to hosts.
  void newIcon();
  void newToolTip();

 private:
  void registerWithWatcher();

  QString serviceName_;
  QString iconName_;
  QString toolTip_;
  StatusNotifierPixmaps pixmaps_;
  DBusMenuExporter* menu_;
  QDBusServiceWatcher* watcher_;
  QTimer retry_;
  bool published_ = false;
  bool registered_ = false;
};

}  // namespace talvo

Q_DECLARE_METATYPE(talvo::StatusNotifierPixmap)
Q_DECLARE_METATYPE(talvo::StatusNotifierToolTip)
