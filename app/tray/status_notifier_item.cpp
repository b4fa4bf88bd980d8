#include "app/tray/status_notifier_item.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QMenu>
#include <QtEndian>
#include <algorithm>

#include "app/tray/dbus_menu_exporter.h"

namespace talvo {

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierPixmap& pixmap) {
  argument.beginStructure();
  argument << pixmap.width << pixmap.height << pixmap.argb;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierPixmap& pixmap) {
  argument.beginStructure();
  argument >> pixmap.width >> pixmap.height >> pixmap.argb;
  argument.endStructure();
  return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierToolTip& tip) {
  argument.beginStructure();
  argument << tip.iconName << tip.pixmaps << tip.title << tip.text;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierToolTip& tip) {
  argument.beginStructure();
  argument >> tip.iconName >> tip.pixmaps >> tip.title >> tip.text;
  argument.endStructure();
  return argument;
}

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

// The item's objects on the bus, one set per process for its whole life (see the header): the
// state hosts read, and the item the clicks go to while there is one.
class StatusNotifierExport : public QObject {
  Q_OBJECT
 public:
  static StatusNotifierExport& instance() {
    static QPointer<StatusNotifierExport> one;
    if (!one) one = new StatusNotifierExport(QCoreApplication::instance());
    return *one;
  }

  bool registerOnce() {
    if (registered_) return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    if (!bus.registerObject(QString::fromLatin1(StatusNotifierItem::objectPath), this,
                            QDBusConnection::ExportAdaptors)) {
      return false;
    }
    if (!bus.registerObject(QString::fromLatin1(StatusNotifierItem::menuPath), menu_,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                QDBusConnection::ExportAllProperties)) {
      bus.unregisterObject(QString::fromLatin1(StatusNotifierItem::objectPath));
      return false;
    }
    registered_ = true;
    return true;
  }

  void attach(StatusNotifierItem* item, QMenu* menu) {
    item_ = item;
    menu_->setMenu(menu);
  }
  // The item went: its last state stays readable, clicks go nowhere.
  void detach(StatusNotifierItem* item) {
    if (item_ == item) item_ = nullptr;
  }
  StatusNotifierItem* item() const { return item_; }
  bool attached(const StatusNotifierItem* item) const { return item_ == item; }

  void setIcon(const QString& name, const StatusNotifierPixmaps& pixmaps) {
    iconName_ = name;
    pixmaps_ = pixmaps;
    emit newIcon();
  }
  void setToolTip(const QString& text) {
    toolTip_ = text;
    emit newToolTip();
  }
  QString iconName() const { return iconName_; }
  StatusNotifierPixmaps pixmaps() const { return pixmaps_; }
  QString toolTip() const { return toolTip_; }

 signals:
  void newIcon();
  void newToolTip();

 private:
  explicit StatusNotifierExport(QObject* parent);

  DBusMenuExporter* menu_;
  QPointer<StatusNotifierItem> item_;
  bool registered_ = false;
  QString iconName_;
  StatusNotifierPixmaps pixmaps_;
  QString toolTip_;
};

// org.kde.StatusNotifierItem as hosts read it.
class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
  Q_PROPERTY(QString Category READ category)
  Q_PROPERTY(QString Id READ id)
  Q_PROPERTY(QString Title READ title)
  Q_PROPERTY(QString Status READ status)
  Q_PROPERTY(int WindowId READ windowId)
  Q_PROPERTY(QString IconThemePath READ empty)
  Q_PROPERTY(QDBusObjectPath Menu READ menu)
  Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
  Q_PROPERTY(QString IconName READ iconName)
  Q_PROPERTY(QList<talvo::StatusNotifierPixmap> IconPixmap READ iconPixmap)
  Q_PROPERTY(QString OverlayIconName READ empty)
  Q_PROPERTY(QList<talvo::StatusNotifierPixmap> OverlayIconPixmap READ noPixmaps)
  Q_PROPERTY(QString AttentionIconName READ empty)
  Q_PROPERTY(QList<talvo::StatusNotifierPixmap> AttentionIconPixmap READ noPixmaps)
  Q_PROPERTY(QString AttentionMovieName READ empty)
  Q_PROPERTY(talvo::StatusNotifierToolTip ToolTip READ toolTip)

 public:
  explicit StatusNotifierItemAdaptor(StatusNotifierExport* face) : QDBusAbstractAdaptor(face), face_(face) {
    setAutoRelaySignals(false);
    connect(face, &StatusNotifierExport::newIcon, this, &StatusNotifierItemAdaptor::NewIcon);
    connect(face, &StatusNotifierExport::newToolTip, this, &StatusNotifierItemAdaptor::NewToolTip);
  }

  QString category() const { return QStringLiteral("ApplicationStatus"); }
  QString id() const { return QStringLiteral("pro.talvo.recorder"); }
  QString title() const { return QStringLiteral("TALVO"); }
  QString status() const { return QStringLiteral("Active"); }
  int windowId() const { return 0; }
  QString empty() const { return {}; }
  QDBusObjectPath menu() const { return QDBusObjectPath(QString::fromLatin1(StatusNotifierItem::menuPath)); }
  bool itemIsMenu() const { return false; }
  QString iconName() const { return face_->iconName(); }
  QList<StatusNotifierPixmap> iconPixmap() const { return face_->pixmaps(); }
  QList<StatusNotifierPixmap> noPixmaps() const { return {}; }
  StatusNotifierToolTip toolTip() const { return {QString(), {}, face_->toolTip(), QString()}; }

 public slots:
  void Activate(int x, int y) {
    if (StatusNotifierItem* item = face_->item()) emit item->activated(QPoint(x, y));
  }
  void SecondaryActivate(int, int) {}
  void ContextMenu(int x, int y) {
    if (StatusNotifierItem* item = face_->item()) emit item->contextMenuRequested(QPoint(x, y));
  }
  void Scroll(int, const QString&) {}

 signals:
  void NewTitle();
  void NewIcon();
  void NewAttentionIcon();
  void NewOverlayIcon();
  void NewToolTip();
  void NewStatus(const QString& status);

 private:
  StatusNotifierExport* face_;
};

StatusNotifierExport::StatusNotifierExport(QObject* parent)
    : QObject(parent), menu_(new DBusMenuExporter(nullptr, this)) {
  qDBusRegisterMetaType<StatusNotifierPixmap>();
  qDBusRegisterMetaType<QList<StatusNotifierPixmap>>();
  qDBusRegisterMetaType<StatusNotifierToolTip>();
  new StatusNotifierItemAdaptor(this);
}

int nextInstance = 0;

}  // namespace

StatusNotifierItem::StatusNotifierItem(QMenu* menu, QObject* parent)
    : QObject(parent),
      serviceName_(QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                       .arg(QCoreApplication::applicationPid())
                       .arg(++nextInstance)),
      menu_(menu),
      watcher_(new QDBusServiceWatcher(watcherService, QDBusConnection::sessionBus(),
                                       QDBusServiceWatcher::WatchForOwnerChange, this)) {
  retry_.setSingleShot(true);
  retry_.setInterval(retryMs);
  connect(&retry_, &QTimer::timeout, this, &StatusNotifierItem::registerWithWatcher);
  // A restarted shell brings a new watcher that knows nothing of the item.
  connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
          [this](const QString&, const QString&, const QString& newOwner) {
            registered_ = false;
            if (!newOwner.isEmpty() && published_) registerWithWatcher();
          });
}

StatusNotifierItem::~StatusNotifierItem() {
  if (!published_) return;
  // The name goes first (the watcher drops the item when it does); the objects stay and answer
  // whatever a host still asks.
  QDBusConnection::sessionBus().unregisterService(serviceName_);
  StatusNotifierExport::instance().detach(this);
}

bool StatusNotifierItem::publish() {
  if (published_) return true;
  QDBusConnection bus = QDBusConnection::sessionBus();
  StatusNotifierExport& face = StatusNotifierExport::instance();
  if (!face.registerOnce()) return false;
  // The objects carry this item's state before its name makes hosts read them.
  face.attach(this, menu_);
  face.setIcon(iconName_, pixmaps_);
  face.setToolTip(toolTip_);
  if (!bus.registerService(serviceName_)) {
    face.detach(this);
    return false;
  }
  published_ = true;
  registerWithWatcher();
  return true;
}

void StatusNotifierItem::registerWithWatcher() {
  if (!published_) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.interface()->isServiceRegistered(watcherService).value()) return;  // the owner change brings us back
  QDBusMessage call = QDBusMessage::createMethodCall(watcherService, watcherPath, watcherService,
                                                     QStringLiteral("RegisterStatusNotifierItem"));
  call << serviceName_;
  auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(call, 2000), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
    done->deleteLater();
    registered_ = !done->isError();
    // A watcher that owns its name before it serves its object refuses the call: ask again.
    if (!registered_) retry_.start();
  });
}

namespace {

StatusNotifierPixmap pixmapOf(const QImage& image) {
  const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
  StatusNotifierPixmap pixmap{argb.width(), argb.height(), QByteArray()};
  pixmap.argb.resize(qsizetype(argb.width()) * argb.height() * 4);
  auto* out = reinterpret_cast<quint32*>(pixmap.argb.data());
  for (int y = 0; y < argb.height(); ++y) {
    const auto* line = reinterpret_cast<const quint32*>(argb.constScanLine(y));
    for (int x = 0; x < argb.width(); ++x) *out++ = qToBigEndian(line[x]);
  }
  return pixmap;
}

}  // namespace

void StatusNotifierItem::setIcon(const QImage& image) {
  StatusNotifierPixmaps pixmaps;
  if (!image.isNull()) {
    // Each height from the one large picture, its width in proportion (the meter is wide).
    for (int height : pixmapHeights) {
      const int width = std::max(1, qRound(double(image.width()) * height / image.height()));
      pixmaps.append(pixmapOf(image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
    }
  }
  pixmaps_ = pixmaps;
  changed(true);
}

void StatusNotifierItem::setIconName(const QString& name) {
  if (name == iconName_) return;
  iconName_ = name;
  changed(true);
}

void StatusNotifierItem::setToolTip(const QString& text) {
  if (text == toolTip_) return;
  toolTip_ = text;
  changed(false);
}

void StatusNotifierItem::changed(bool icon) {
  StatusNotifierExport& face = StatusNotifierExport::instance();
  if (published_ && face.attached(this)) {
    if (icon) {
      face.setIcon(iconName_, pixmaps_);
    } else {
      face.setToolTip(toolTip_);
    }
  }
  if (icon) {
    emit newIcon();
  } else {
    emit newToolTip();
  }
}

}  // namespace talvo

#include "status_notifier_item.moc"
