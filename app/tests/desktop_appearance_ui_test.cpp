#include "app/ui/desktop_appearance.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>

#include "app/tests/ui_test_support.h"

namespace talvo {
namespace {

// A desktop settings portal on the test's session bus, answering from a table.
class FakeSettingsPortal : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
 public:
  QMap<QString, QVariant> values;

 public slots:
  QDBusVariant Read(const QString& group, const QString& key) {
    // Portals of version 1 wrap the value twice.
    return QDBusVariant(QVariant::fromValue(QDBusVariant(values.value(group + QLatin1Char('/') + key))));
  }
};

TEST(DesktopAppearance, ReadsColourSchemeAndAnimationsFromThePortalAndFollowsChanges) {
  ui_test::app();
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) GTEST_SKIP() << "needs a session bus";
  const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
  if (bus.interface()->isServiceRegistered(service)) GTEST_SKIP() << "a real portal runs on this bus";

  // Without a portal: animations on, darkness from the palette.
  {
    DesktopAppearance appearance;
    EXPECT_FALSE(appearance.reduceMotion());
  }

  FakeSettingsPortal portal;
  portal.values[QStringLiteral("org.freedesktop.appearance/color-scheme")] = 2u;  // prefers light
  portal.values[QStringLiteral("org.gnome.desktop.interface/enable-animations")] = false;
  ASSERT_TRUE(
      bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal, QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(bus.registerService(service));
  DesktopAppearance appearance;
  EXPECT_FALSE(appearance.prefersDark());
  EXPECT_TRUE(appearance.reduceMotion());

  int changes = 0;
  QObject::connect(&appearance, &DesktopAppearance::changed, [&] { ++changes; });
  auto announce = [&](const QString& group, const QString& key, const QVariant& value) {
    QDBusMessage signal =
        QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                   QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("SettingChanged"));
    signal << group << key << QVariant::fromValue(QDBusVariant(value));
    bus.send(signal);
  };
  announce(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"), 1u);
  announce(QStringLiteral("org.gnome.desktop.interface"), QStringLiteral("enable-animations"), true);
  announce(QStringLiteral("org.gnome.desktop.interface"), QStringLiteral("enable-animations"), QStringLiteral("yes"));
  EXPECT_TRUE(ui_test::waitUntil([&] { return changes >= 2; }));
  ui_test::settle(100);
  EXPECT_EQ(changes, 2);  // a value of the wrong type is ignored
  EXPECT_TRUE(appearance.prefersDark());
  EXPECT_FALSE(appearance.reduceMotion());
  // The desktop-neutral switch (KDE, newer GNOME) asks for less motion too.
  announce(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("reduced-motion"), 1u);
  EXPECT_TRUE(ui_test::waitUntil([&] { return appearance.reduceMotion(); }));

  bus.unregisterService(service);
  bus.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
}

TEST(DesktopAppearance, TheTrayBarIsDarkOnGnomeShellInEitherSchemeElsewhereByTheScheme) {
  for (const char* shell : {"GNOME", "ubuntu:GNOME", "pop:GNOME", "Unity"}) {
    EXPECT_TRUE(DesktopAppearance::trayBarIsDark(QString::fromLatin1(shell), false)) << shell;
  }
  for (const char* themed : {"", "KDE", "XFCE", "GNOME-Classic:GNOME", "GNOME-Flashback:GNOME", "X-Cinnamon"}) {
    EXPECT_FALSE(DesktopAppearance::trayBarIsDark(QString::fromLatin1(themed), false)) << themed;
    EXPECT_TRUE(DesktopAppearance::trayBarIsDark(QString::fromLatin1(themed), true)) << themed;
  }
}

}  // namespace
}  // namespace talvo

#include "desktop_appearance_ui_test.moc"
