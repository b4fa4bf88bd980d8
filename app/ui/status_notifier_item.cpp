#include "app/ui/status_notifier_item.h"

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

#include "app/ui/dbus_menu_exporter.h"

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
  explicit StatusNotifierItemAdaptor(StatusNotifierItem* item) : QDBusAbstractAdaptor(item), item_(item) {
    setAutoRelaySignals(false);
    connect(item, &StatusNotifierItem::newIcon, this, &StatusNotifierItemAdaptor::NewIcon);
    connect(item, &StatusNotifierItem::newToolTip, this, &StatusNotifierItemAdaptor::NewToolTip);
  }

  QString category() const { return QStringLiteral("ApplicationStatus"); }
  QString id() const { return QStringLiteral("pro.talvo.recorder"); }
  QString title() const { return QStringLiteral("TALVO"); }
  QString status() const { return QStringLiteral("Active"); }
  int windowId() const { return 0; }
  QString empty() const { return {}; }
  QDBusObjectPath menu() const { return QDBusObjectPath(QString::fromLatin1(StatusNotifierItem::menuPath)); }
  bool itemIsMenu() const { return false; }
  QString iconName() const { return item_->iconName(); }
  QList<StatusNotifierPixmap> iconPixmap() const { return item_->iconPixmap(); }
  QList<StatusNotifierPixmap> noPixmaps() const { return {}; }
  StatusNotifierToolTip toolTip() const { return {QString(), {}, item_->toolTipText(), QString()}; }

 public slots:
  void Activate(int x, int y) { emit item_->activated(QPoint(x, y)); }
  void SecondaryActivate(int, int) {}
  void ContextMenu(int x, int y) { emit item_->contextMenuRequested(QPoint(x, y)); }
  void Scroll(int, const QString&) {}

 signals:
  void NewTitle();
  void NewIcon();
  void NewAttentionIcon();
  void NewOverlayIcon();
  void NewToolTip();
  void NewStatus(const QString& status);

 private:
  StatusNotifierItem* item_;
};

int nextInstance = 0;

}  // namespace

StatusNotifierItem::StatusNotifierItem(QMenu* menu, QObject* parent)
    : QObject(parent),
      serviceName_(QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                       .arg(QCoreApplication::applicationPid())
                       .arg(++nextInstance)),
      menu_(new DBusMenuExporter(menu, this)),
      watcher_(new QDBusServiceWatcher(watcherService, QDBusConnection::sessionBus(),
                                       QDBusServiceWatcher::WatchForOwnerChange, this)) {
  qDBusRegisterMetaType<StatusNotifierPixmap>();
  qDBusRegisterMetaType<QList<StatusNotifierPixmap>>();
  qDBusRegisterMetaType<StatusNotifierToolTip>();
  new StatusNotifierItemAdaptor(this);
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
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterObject(QString::fromLatin1(objectPath));
  bus.unregisterObject(QString::fromLatin1(menuPath));
  bus.unregisterService(serviceName_);  // the watcher drops the item when the name goes
}

bool StatusNotifierItem::hostAvailable() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface()->isServiceRegistered(watcherService).value()) return false;
  QDBusMessage get = QDBusMessage::createMethodCall(
      watcherService, watcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
  const QDBusMessage reply = bus.call(get, QDBus::Block, 300);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
  return reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

bool StatusNotifierItem::publish() {
  if (published_) return true;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  if (!bus.registerObject(QString::fromLatin1(objectPath), this, QDBusConnection::ExportAdaptors)) return false;
  if (!bus.registerObject(
          QString::fromLatin1(menuPath), menu_,
          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals | QDBusConnection::ExportAllProperties)) {
    bus.unregisterObject(QString::fromLatin1(objectPath));
    return false;
  }
  if (!bus.registerService(serviceName_)) {
    bus.unregisterObject(QString::fromLatin1(objectPath));
    bus.unregisterObject(QString::fromLatin1(menuPath));
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

void StatusNotifierItem::setIcon(const QImage& image) {
  StatusNotifierPixmaps pixmaps;
  if (!image.isNull()) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    StatusNotifierPixmap pixmap{argb.width(), argb.height(), QByteArray()};
    pixmap.argb.resize(qsizetype(argb.width()) * argb.height() * 4);
    auto* out = reinterpret_cast<quint32*>(pixmap.argb.data());
    for (int y = 0; y < argb.height(); ++y) {
      const auto* line = reinterpret_cast<const quint32*>(argb.constScanLine(y));
      for (int x = 0; x < argb.width(); ++x) *out++ = qToBigEndian(line[x]);
    }
    pixmaps.append(pixmap);
  }
  pixmaps_ = pixmaps;
  emit newIcon();
}

void StatusNotifierItem::setIconName(const QString& name) {
  if (name == iconName_) return;
  iconName_ = name;
  emit newIcon();
}

void StatusNotifierItem::setToolTip(const QString& text) {
  if (text == toolTip_) return;
  toolTip_ = text;
  emit newToolTip();
}

}  // namespace talvo

#include "status_notifier_item.moc"
