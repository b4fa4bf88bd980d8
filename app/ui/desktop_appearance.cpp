#include "app/ui/desktop_appearance.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QPalette>

namespace talvo {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");

// The portal wraps the value in one or two variants depending on its version.
QVariant unwrap(QVariant value) {
  while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>()) {
    value = value.value<QDBusVariant>().variant();
  }
  return value;
}

std::optional<QVariant> readSetting(const QString& group, const QString& key) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return std::nullopt;
  QDBusInterface portal(portalService, portalPath, settingsInterface, bus);
  if (!portal.isValid()) return std::nullopt;
  portal.setTimeout(300);  // never hold up the interface for a slow portal
  QDBusReply<QDBusVariant> reply = portal.call(QStringLiteral("Read"), group, key);
  if (!reply.isValid()) return std::nullopt;
  return unwrap(reply.value().variant());
}

// color-scheme: 1 prefers dark, 2 prefers light, 0 no preference.
std::optional<bool> darkFromScheme(const QVariant& value) {
  bool ok = false;
  const uint scheme = value.toUInt(&ok);
  if (!ok || scheme == 0 || scheme > 2) return std::nullopt;
  return scheme == 1;
}

std::optional<bool> reducedFromPortal(const QVariant& value) {
  bool ok = false;
  const uint setting = value.toUInt(&ok);
  if (!ok || setting > 1) return std::nullopt;
  return setting == 1;
}

}  // namespace

DesktopAppearance::DesktopAppearance(QObject* parent) : QObject(parent) {
  if (auto scheme = readSetting(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"))) {
    portalDark_ = darkFromScheme(*scheme);
  }
  if (auto animations =
          readSetting(QStringLiteral("org.gnome.desktop.interface"), QStringLiteral("enable-animations"))) {
    if (animations->typeId() == QMetaType::Bool) gnomeReduce_ = !animations->toBool();
  }
  // The desktop-neutral setting (KDE, newer GNOME): 0 no preference, 1 reduce.
  if (auto reduced = readSetting(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("reduced-motion"))) {
    portalReduce_ = reducedFromPortal(*reduced);
  }
  QDBusConnection::sessionBus().connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"),
                                        this, SLOT(settingChanged(QString, QString, QDBusVariant)));
}

bool DesktopAppearance::prefersDark() const {
  if (portalDark_) return *portalDark_;
  const QPalette palette = QGuiApplication::palette();
  return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
}

bool DesktopAppearance::trayBarIsDark() const {
  return trayBarIsDark(qEnvironmentVariable("XDG_CURRENT_DESKTOP"), prefersDark());
}

bool DesktopAppearance::trayBarIsDark(const QString& currentDesktop, bool prefersDark) {
  const QStringList names = currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts);
  const bool shell = names.contains(QStringLiteral("GNOME"), Qt::CaseInsensitive) ||
                     names.contains(QStringLiteral("Unity"), Qt::CaseInsensitive);
  const bool lightPanel = names.contains(QStringLiteral("GNOME-Classic"), Qt::CaseInsensitive) ||
                          names.contains(QStringLiteral("GNOME-Flashback"), Qt::CaseInsensitive);
  return (shell && !lightPanel) || prefersDark;
}

void DesktopAppearance::settingChanged(const QString& group, const QString& key, const QDBusVariant& value) {
  const QVariant v = unwrap(value.variant());
  if (group == QStringLiteral("org.freedesktop.appearance") && key == QStringLiteral("color-scheme")) {
    portalDark_ = darkFromScheme(v);
    emit changed();
  } else if (group == QStringLiteral("org.freedesktop.appearance") && key == QStringLiteral("reduced-motion")) {
    portalReduce_ = reducedFromPortal(v);
    emit changed();
  } else if (group == QStringLiteral("org.gnome.desktop.interface") && key == QStringLiteral("enable-animations") &&
             v.typeId() == QMetaType::Bool) {
    gnomeReduce_ = !v.toBool();
    emit changed();
  }
}

}  // namespace talvo
