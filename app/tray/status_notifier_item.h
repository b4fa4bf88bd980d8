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
//
// A host may call the item at any moment, also while it is being torn down: its objects on the
// bus belong to the process, registered at the first publish and kept until the process ends.
// An item that goes releases its bus name (the watcher drops it) and leaves the objects answering
// with its last state; a later item of the same process takes them over. One item at a time.
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
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

// How both travel over D-Bus: (iiay) and (sa(iiay)ss).
QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierToolTip& tip);
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierToolTip& tip);

class StatusNotifierItem : public QObject {
  Q_OBJECT
 public:
  static constexpr const char* objectPath = "/StatusNotifierItem";
  static constexpr const char* menuPath = "/MenuBar";
  static constexpr int retryMs = 500;

  explicit StatusNotifierItem(QMenu* menu, QObject* parent = nullptr);
  ~StatusNotifierItem() override;

  // Takes the bus name, exports the item and the menu and registers with the watcher.
  bool publish();
  bool registered() const { return registered_; }
  QString serviceName() const { return serviceName_; }

  // The picture, offered to hosts at every size in pixmapHeights (a host picks the one that fits
  // its bar instead of blurring one); give it at least the largest height.
  void setIcon(const QImage& image);
  static constexpr int pixmapHeights[] = {16, 22, 24, 32, 48, 64};
  // A themed icon hosts prefer and recolour for their bar; empty for none (the pixmap only).
  void setIconName(const QString& name);
  void setToolTip(const QString& text);

  // Read over D-Bus by hosts (the adaptor's properties).
  QString iconName() const { return iconName_; }
  StatusNotifierPixmaps iconPixmap() const { return pixmaps_; }
  QString toolTipText() const { return toolTip_; }

 signals:
  // The host's coordinates, in screen pixels (0, 0 when it gave none): a host passes pixels of
  // the screen, whatever Qt's scale (ScreenPixels converts them).
  void activated(QPoint at);
  void contextMenuRequested(QPoint at);

  // The picture or the tool tip changed (hosts hear it from the item's objects on the bus).
  void newIcon();
  void newToolTip();

 private:
  void registerWithWatcher();
  void changed(bool icon);

  QString serviceName_;
  QString iconName_;
  QString toolTip_;
  StatusNotifierPixmaps pixmaps_;
  QMenu* menu_;
  QDBusServiceWatcher* watcher_;
  QTimer retry_;
  bool published_ = false;
  bool registered_ = false;
};

}  // namespace talvo

Q_DECLARE_METATYPE(talvo::StatusNotifierPixmap)
Q_DECLARE_METATYPE(talvo::StatusNotifierToolTip)
