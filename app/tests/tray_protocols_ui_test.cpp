// The tray icon and its panel on both kinds of tray a Linux desktop has: an XEmbed tray (trayer)
// that reports the icon's geometry (QSystemTrayIcon), and a StatusNotifierItem host
// (gtk-sni-tray-standalone with its own watcher, as GNOME's AppIndicator extension, KDE Plasma and
// waybar work) that reports none but passes the click's position (the program's own
// StatusNotifierItem). In each the icon appears, and a real click on it opens the panel next to
// it; a second click on the icon closes it through the icon's own action only.
//
// Qt picks QSystemTrayIcon's protocol once per process, so each test needs a process of its own
// (ctest runs every test that way).
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QSystemTrayIcon>

#include "app/tests/ui_test_support.h"
#include "app/ui/anchored_panel.h"
#include "app/ui/status_icon_renderer.h"
#include "app/tray/tray_anchor_lookup.h"
#include "app/tray/dbus_menu_exporter.h"
#include "app/tray/status_notifier_item.h"

namespace talvo {
namespace {

using ui_test::settle;
using ui_test::waitUntil;

bool trayCreated = false;

// What the program's shell does with the icon: toggle the panel on a click, anchored at the
// icon when the tray says where it is, else at the click.
struct TrayRig {
  QSystemTrayIcon icon;
  std::optional<QPoint> click;
  std::unique_ptr<AnchoredPanel> panel;
  int activations = 0;

  TrayRig() {
    trayCreated = true;
    StatusIconRenderer renderer;
    icon.setIcon(QIcon(QPixmap::fromImage(renderer.image(false, {}, TrayLook{true, false, 2.0}))));
    icon.setToolTip(QStringLiteral("TALVO"));
    auto* content = new QLabel(QStringLiteral("панель"));
    content->setFixedSize(320, 200);
    panel = std::make_unique<AnchoredPanel>(content, [this]() -> std::optional<TrayAnchor> {
      if (auto anchor = TrayAnchorLookup::fromIcon(icon)) return anchor;
      if (click) return TrayAnchorLookup::fromClick(*click);
      return std::nullopt;
    });
    QObject::connect(&icon, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason) {
      ++activations;
      if (panel->isVisible()) {
        panel->close();
      } else {
        click = QCursor::pos();
        panel->show(true);
      }
    });
    icon.show();
  }
};

void clickAt(QPoint p) {
  QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(p.x()),
                                                QString::number(p.y()), QStringLiteral("click"), QStringLiteral("1")});
}

bool ownsName(const QString& name) { return QDBusConnection::sessionBus().interface()->isServiceRegistered(name); }

// The watcher's item list, asked afresh each time: a QDBusInterface made while the watcher owns
// its name but does not serve its object yet stays invalid and reads nothing for good.
QStringList registeredItems() {
  QDBusMessage get = QDBusMessage::createMethodCall(
      QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << QStringLiteral("org.kde.StatusNotifierWatcher") << QStringLiteral("RegisteredStatusNotifierItems");
  const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 2000);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
  return reply.arguments().first().value<QDBusVariant>().variant().toStringList();
}

// Watchers list an item by the bus name it registered with or by the unique name of the
// connection Qt opened for it: either way a name owned by this process.
bool itemOfThisProcessRegistered() {
  const uint pid = static_cast<uint>(QCoreApplication::applicationPid());
  for (const QString& item : registeredItems()) {
    if (QDBusConnection::sessionBus().interface()->servicePid(item.section('/', 0, 0)).value() == pid) return true;
  }
  return false;
}

// The host told its watcher that it shows items.
bool sniHostRegistered() {
  QDBusMessage get = QDBusMessage::createMethodCall(
      QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << QStringLiteral("org.kde.StatusNotifierWatcher") << QStringLiteral("IsStatusNotifierHostRegistered");
  const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 2000);
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
         reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

// A bar at the bottom, icons at its right end; it brings its own watcher. gtk-sni-tray-standalone
// runs watcher and host on two connections and registers the host before its watcher serves its
// object: losing that race (a loaded machine) ends the program at once, on an UnknownObject
// answer from its own watcher. Such a start is tried again; ready means the host is registered.
bool startSniHost(QProcess& host) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    host.start(QStringLiteral("gtk-sni-tray-standalone"),
               {QStringLiteral("--watcher"), QStringLiteral("--bottom"), QStringLiteral("--end"),
                QStringLiteral("--size"), QStringLiteral("30")});
    if (!host.waitForStarted()) return false;
    waitUntil([&] { return host.state() != QProcess::Running || sniHostRegistered(); }, 15000);
    if (host.state() == QProcess::Running && sniHostRegistered()) return true;
    host.waitForFinished(2000);
  }
  return false;
}

TEST(TrayProtocols, XEmbedTrayShowsTheIconAndAClickOpensThePanelUnderIt) {
  ui_test::app();
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs the test display";
  if (ownsName(QStringLiteral("org.kde.StatusNotifierWatcher"))) GTEST_SKIP() << "a StatusNotifierItem host runs";
  if (trayCreated) GTEST_SKIP() << "the tray protocol is already chosen in this process";
  TrayRig rig;
  ASSERT_TRUE(waitUntil(
      [&] {
        return rig.icon.geometry().isValid() && rig.icon.geometry().y() >= 0 && rig.icon.geometry().width() > 0 &&
               rig.icon.geometry().x() > 0;
      },
      5000))
      << "the icon never got a place in the tray";
  settle(200);
  const QRect icon = rig.icon.geometry();
  ASSERT_TRUE(TrayAnchorLookup::fromIcon(rig.icon)) << "geometry " << icon.x() << "," << icon.y();

  clickAt(icon.center());
  ASSERT_TRUE(waitUntil([&] { return rig.panel->isVisible(); }, 3000));
  waitUntil([&] { return rig.panel->window()->y() == icon.bottom() + 1 + 6; }, 1000);
  const QRect frame = rig.panel->window()->geometry();
  EXPECT_EQ(frame.top(), icon.bottom() + 1 + 6);
  EXPECT_NEAR(frame.left() + rig.panel->arrowX(), icon.center().x(), 1.5);
  ui_test::saveScreenshot(rig.panel->window(), QStringLiteral("tray-xembed-panel"));

  clickAt(icon.center());  // the icon's action closes it; the closing rules leave it alone
  EXPECT_TRUE(waitUntil([&] { return !rig.panel->isVisible(); }, 3000));
  settle(300);
  EXPECT_FALSE(rig.panel->isVisible());
  EXPECT_EQ(rig.activations, 2);
}

// The program's own item on a StatusNotifierItem host: the click's position comes with Activate.
struct SniRig {
  QMenu menu;
  StatusNotifierItem item{&menu};
  std::optional<QPoint> click;
  std::unique_ptr<AnchoredPanel> panel;
  int activations = 0;

  SniRig() {
    menu.addAction(QStringLiteral("Открыть TALVO"));
    StatusIconRenderer renderer;
    item.setIcon(renderer.image(false, {}, TrayLook{true, false, 2.0}));
    item.setToolTip(QStringLiteral("TALVO"));
    auto* content = new QLabel(QStringLiteral("панель"));
    content->setFixedSize(320, 200);
    panel = std::make_unique<AnchoredPanel>(content, [this]() -> std::optional<TrayAnchor> {
      if (click) return TrayAnchorLookup::fromClick(*click);
      return TrayAnchorLookup::reminderFallback(nullptr);
    });
    QObject::connect(&item, &StatusNotifierItem::activated, [this](QPoint at) {
      ++activations;
      if (panel->isVisible()) {
        panel->close();
      } else {
        click = at;
        panel->show(true);
      }
    });
    item.publish();
  }
};

TEST(TrayProtocols, StatusNotifierHostShowsTheIconAndAClickOpensThePanelAtIt) {
  ui_test::app();
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs the test display";
  if (trayCreated) GTEST_SKIP() << "the tray protocol is already chosen in this process";
  QProcess host;
  host.setProcessChannelMode(QProcess::ForwardedErrorChannel);  // a failing host says why
  if (!ownsName(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
    // A bar at the bottom, icons at its right end; it brings its own watcher.
    ASSERT_TRUE(startSniHost(host)) << "the host never came up";
    settle(500);
  }
  {
    SniRig rig;
    // A registration the watcher refuses (it may own its name before it serves) is retried.
    ASSERT_TRUE(waitUntil(itemOfThisProcessRegistered, 10000))
        << "the icon never registered with the watcher: " << registeredItems().join(' ').toStdString()
        << (host.state() == QProcess::Running || host.program().isEmpty() ? "" : " (the host ended)");

    // Find the host's bar and click the icon at its right end. The host lays its icons out after
    // the registration; on a loaded machine that takes a while, so the click is repeated until the
    // host answers it.
    auto findIcon = []() -> std::optional<QPoint> {
      QProcess search;
      search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                               QStringLiteral("--class"), QStringLiteral("gtk-sni-tray")});
      if (!search.waitForFinished(5000)) return std::nullopt;
      const QStringList windows = QString::fromUtf8(search.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
      if (windows.isEmpty()) return std::nullopt;
      QProcess geometry;
      geometry.start(QStringLiteral("xdotool"),
                     {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), windows.last()});
      if (!geometry.waitForFinished(5000)) return std::nullopt;
      QMap<QString, int> g;
      for (const QString& line : QString::fromUtf8(geometry.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
        const auto parts = line.split('=');
        if (parts.size() == 2) g[parts[0]] = parts[1].toInt();
      }
      return QPoint(g["X"] + g["WIDTH"] - 15, g["Y"] + g["HEIGHT"] / 2);
    };
    QPoint iconPoint;
    for (int attempt = 0; attempt < 5 && !rig.panel->isVisible(); ++attempt) {
      settle(500);
      // The host maps its bar a while after the watcher lists the item.
      std::optional<QPoint> found;
      waitUntil([&] { return (found = findIcon()).has_value(); }, 10000);
      ASSERT_TRUE(found) << "no visible window of the host";
      iconPoint = *found;
      clickAt(iconPoint);
      waitUntil([&] { return rig.panel->isVisible(); }, 2000);
    }
    ASSERT_TRUE(waitUntil([&] { return rig.panel->isVisible(); }, 5000)) << "no activation from the host";
    // The window manager may take a moment to honour the position.
    waitUntil([&] { return std::abs(rig.panel->window()->x() + rig.panel->arrowX() - iconPoint.x()) <= 1.5; }, 1000);
    const QRect frame = rig.panel->window()->geometry();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_NEAR(frame.left() + rig.panel->arrowX(), iconPoint.x(), 1.5)
        << "frame " << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height() << " arrow "
        << rig.panel->arrowX() << " click " << (rig.click ? rig.click->x() : -1) << ","
        << (rig.click ? rig.click->y() : -1) << " icon " << iconPoint.x() << "," << iconPoint.y();
    if (iconPoint.y() > screen.center().y()) {
      EXPECT_LT(frame.bottom(), iconPoint.y());  // a bottom bar: the panel opens upward
    } else {
      EXPECT_GT(frame.top(), iconPoint.y());
    }
    ui_test::saveScreenshot(rig.panel->window(), QStringLiteral("tray-sni-panel"));
    settle(300);
    clickAt(iconPoint);
    EXPECT_TRUE(waitUntil([&] { return !rig.panel->isVisible(); }, 3000)) << rig.activations << " activations";

    // The tray goes away while the panel is open and comes back: nothing breaks, and the icon
    // registers with the new watcher.
    if (host.state() == QProcess::Running) {
      rig.panel->show(true);
      ASSERT_TRUE(rig.panel->isVisible());
      host.terminate();
      ASSERT_TRUE(host.waitForFinished(5000));
      settle(300);
      rig.panel->close();
      ASSERT_TRUE(startSniHost(host)) << "the host never came up";
      EXPECT_TRUE(waitUntil(itemOfThisProcessRegistered, 10000)) << "the icon did not come back in the new tray";
    }
  }
  if (host.state() == QProcess::Running) {
    host.terminate();
    if (!host.waitForFinished(3000)) host.kill();
    host.waitForFinished();
  }
}

// Items that come and go while the host reads them (the program switches trays, a test process
// ends its shell): every call the host makes is answered, and the host lives on and shows the
// item that stays. (A host may keep a dead item's icon for a while: the click tests use a host
// of their own.)
TEST(TrayProtocols, AHostLivesThroughItemsThatComeAndGo) {
  ui_test::app();
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs the test display";
  if (ownsName(QStringLiteral("org.kde.StatusNotifierWatcher"))) GTEST_SKIP() << "a host of the desktop runs";
  QProcess host;
  host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  ASSERT_TRUE(startSniHost(host)) << "the host never came up";
  settle(500);
  for (int i = 0; i < 8 && host.state() == QProcess::Running; ++i) {
    QMenu menu;
    menu.addAction(QStringLiteral("Открыть TALVO"));
    StatusNotifierItem passing(&menu);
    passing.setIcon(StatusIconRenderer().image(false, {}, TrayLook{true, false, 4.0}));
    passing.publish();
    waitUntil([&] { return passing.registered(); }, 3000);
    settle(i * 15);  // ends at a different moment of the host's reading each time
  }
  settle(500);
  EXPECT_EQ(host.state(), QProcess::Running) << "the host ended while items came and went";
  {
    QMenu menu;
    StatusNotifierItem lasting(&menu);
    lasting.publish();
    EXPECT_TRUE(waitUntil(itemOfThisProcessRegistered, 10000)) << "the item that stays is not listed";
    settle(500);
    EXPECT_EQ(host.state(), QProcess::Running);
  }
  host.terminate();
  if (!host.waitForFinished(3000)) host.kill();
  host.waitForFinished();
}

// A call from another connection, as a host makes it, answered through the bus; the event loop
// runs meanwhile, so this process's own objects can answer.
QDBusMessage callOverTheBus(QDBusMessage call) {
  static QDBusConnection probe = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("host"));
  QDBusPendingCallWatcher pending(probe.asyncCall(call, 5000));
  waitUntil([&] { return pending.isFinished(); }, 6000);
  return pending.isFinished() ? pending.reply() : QDBusMessage();
}

QDBusMessage itemCall(const QString& interface, const QString& method, const QVariantList& arguments,
                      const QString& path = QString::fromLatin1(StatusNotifierItem::objectPath)) {
  QDBusMessage call =
      QDBusMessage::createMethodCall(QDBusConnection::sessionBus().baseService(), path, interface, method);
  call.setArguments(arguments);
  return callOverTheBus(call);
}

QDBusMessage menuCall(const QString& method, const QVariantList& arguments) {
  return itemCall(QStringLiteral("com.canonical.dbusmenu"), method, arguments,
                  QString::fromLatin1(StatusNotifierItem::menuPath));
}

TEST(TrayProtocols, EveryCallOfAHostIsAnsweredAtEveryMomentOfTheItemsLife) {
  ui_test::app();
  if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "needs a session bus";
  const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
  const QString sni = QStringLiteral("org.kde.StatusNotifierItem");
  QMenu menu;
  menu.addAction(QStringLiteral("Открыть TALVO"));
  menu.addSeparator();
  menu.addAction(QStringLiteral("Выйти"));
  QString firstName;
  {
    StatusNotifierItem item(&menu);
    item.setToolTip(QStringLiteral("первый"));
    item.setIcon(StatusIconRenderer().image(false, {}, TrayLook{true, false, 4.0}));
    ASSERT_TRUE(item.publish());
    firstName = item.serviceName();
    const QDBusMessage all = itemCall(properties, QStringLiteral("GetAll"), {sni});
    ASSERT_EQ(all.type(), QDBusMessage::ReplyMessage) << all.errorMessage().toStdString();
    // The picture at every size a bar may want, 16 to 64 pixels high.
    const QDBusMessage pixmaps = itemCall(properties, QStringLiteral("Get"), {sni, QStringLiteral("IconPixmap")});
    ASSERT_EQ(pixmaps.type(), QDBusMessage::ReplyMessage);
    const auto list = qdbus_cast<StatusNotifierPixmaps>(pixmaps.arguments().first().value<QDBusVariant>().variant());
    std::vector<int> heights;
    for (const StatusNotifierPixmap& p : list) {
      heights.push_back(p.height);
      EXPECT_EQ(p.argb.size(), qsizetype(p.width) * p.height * 4);
    }
    EXPECT_EQ(heights, (std::vector<int>{16, 22, 24, 32, 48, 64}));

    // The menu: known entries and properties answer; anything else is an error, never silence.
    const QDBusMessage label = menuCall(QStringLiteral("GetProperty"), {1, QStringLiteral("label")});
    ASSERT_EQ(label.type(), QDBusMessage::ReplyMessage) << label.errorMessage().toStdString();
    EXPECT_EQ(label.arguments().first().value<QDBusVariant>().variant().toString(), QStringLiteral("Открыть TALVO"));
    for (const QDBusMessage& refused : {menuCall(QStringLiteral("GetProperty"), {1, QStringLiteral("no-such")}),
                                        menuCall(QStringLiteral("GetProperty"), {7, QStringLiteral("label")}),
                                        menuCall(QStringLiteral("GetLayout"), {7, -1, QStringList()})}) {
      EXPECT_EQ(refused.type(), QDBusMessage::ErrorMessage) << refused.signature().toStdString();
    }
    const QDBusMessage group = menuCall(QStringLiteral("GetGroupProperties"),
                                        {QVariant::fromValue(QList<int>()), QStringList{QStringLiteral("label")}});
    ASSERT_EQ(group.type(), QDBusMessage::ReplyMessage) << group.errorMessage().toStdString();
    const auto entries = qdbus_cast<QList<DBusMenuItemProperties>>(group.arguments().first());
    ASSERT_EQ(entries.size(), 4) << "no ids: the root and every entry";
    EXPECT_EQ(entries[3].properties.value(QStringLiteral("label")).toString(), QStringLiteral("Выйти"));
    EXPECT_FALSE(entries[3].properties.contains(QStringLiteral("enabled"))) << "only the names asked for";
    const QDBusMessage introspection =
        itemCall(QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"), {},
                 QString::fromLatin1(StatusNotifierItem::menuPath));
    const QString xml = introspection.arguments().value(0).toString();
    EXPECT_TRUE(xml.contains(QStringLiteral("type=\"a(ia{sv})\"")) && xml.contains(QStringLiteral("type=\"a(ias)\"")))
        << "ItemsPropertiesUpdated is a(ia{sv})a(ias): " << xml.toStdString();
  }
  // The item is gone: its name with it (the watcher drops it), but a host's call still in
  // flight to the connection is answered, not refused as an unknown object.
  EXPECT_FALSE(ownsName(firstName));
  for (const QDBusMessage& late :
       {itemCall(properties, QStringLiteral("GetAll"), {sni}), itemCall(sni, QStringLiteral("Activate"), {10, 10}),
        menuCall(QStringLiteral("GetLayout"), {0, -1, QStringList()})}) {
    EXPECT_EQ(late.type(), QDBusMessage::ReplyMessage) << late.errorName().toStdString();
  }
  // The next item of the process takes the objects over.
  StatusNotifierItem next(&menu);
  next.setToolTip(QStringLiteral("второй"));
  ASSERT_TRUE(next.publish());
  int activations = 0;
  QObject::connect(&next, &StatusNotifierItem::activated, [&](QPoint) { ++activations; });
  const QDBusMessage tip = itemCall(properties, QStringLiteral("Get"), {sni, QStringLiteral("ToolTip")});
  ASSERT_EQ(tip.type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(qdbus_cast<StatusNotifierToolTip>(tip.arguments().first().value<QDBusVariant>().variant()).title,
            QStringLiteral("второй"));
  itemCall(sni, QStringLiteral("Activate"), {10, 10});
  EXPECT_TRUE(waitUntil([&] { return activations == 1; }, 2000));
}

// Hosts pass screen pixels; with Qt scaling by 2 they are twice Qt's units (Plasma multiplies on
// purpose). A click at the icon hangs the panel at the icon, not at the screen's edge.
TEST(TrayProtocols, HostPixelsAreConvertedToQtsUnitsOnAScaledScreen) {
  if (QCoreApplication::instance()) GTEST_SKIP() << "Qt fixes its scale when the application starts";
  qputenv("QT_SCALE_FACTOR", "2");
  ui_test::app();
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs the test display";
  QScreen* screen = QGuiApplication::primaryScreen();
  ASSERT_NEAR(screen->devicePixelRatio(), 2.0, 0.01) << "the scale did not take";
  const QRect units = screen->geometry();
  const QPoint pixels(units.width() * 2 - 40, 6);  // near the right end of a top bar
  const std::optional<QPoint> at = TrayAnchorLookup::fromScreenPixels(pixels);
  ASSERT_TRUE(at);
  EXPECT_EQ(*at, QPoint(units.width() - 20, 3));
  EXPECT_FALSE(TrayAnchorLookup::fromScreenPixels(QPoint(units.width() * 2 + 5, 6))) << "off the screen";
}

}  // namespace
}  // namespace talvo
