#include "app/shell/instance_bus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QGuiApplication>
#include <utility>

#include "core/program/native_product.h"

namespace talvo {

InstanceBus::InstanceBus(QObject* parent) : QObject(parent) {}

QVariantMap& InstanceBus::launchData() {
  static QVariantMap data;
  return data;
}

void InstanceBus::keepLaunchTokens() {
  for (const auto& [key, variable] :
       {std::pair{"desktop-startup-id", "DESKTOP_STARTUP_ID"}, std::pair{"activation-token", "XDG_ACTIVATION_TOKEN"}}) {
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty()) launchData().insert(QString::fromLatin1(key), value);
  }
}

bool InstanceBus::openRunningInstance() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QString name = QString::fromLatin1(NativeProduct::applicationId);
  if (!bus.interface()->isServiceRegistered(name).value()) return false;
  // What the launcher gave this launch, so the window the first instance opens may take the
  // focus; this process shows no window, so they are its to hand on.
  QDBusMessage open =
      QDBusMessage::createMethodCall(name, QString::fromLatin1(objectPath), name, QStringLiteral("OpenWith"));
  open << launchData();
  // The name has an owner, so an instance runs even if it is too busy to answer now: a second
  // one must not start either way.
  const QDBusMessage reply = bus.call(open, QDBus::Block, 5000);
  if (reply.type() == QDBusMessage::ErrorMessage &&
      reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
    // An instance of an earlier version.
    bus.call(QDBusMessage::createMethodCall(name, QString::fromLatin1(objectPath), name, QStringLiteral("Open")),
             QDBus::Block, 5000);
  }
  return true;
}

bool InstanceBus::quitRunningInstance() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QString name = QString::fromLatin1(NativeProduct::applicationId);
  if (!bus.interface()->isServiceRegistered(name).value()) return false;
  bus.call(QDBusMessage::createMethodCall(name, QString::fromLatin1(objectPath), name, QStringLiteral("Quit")),
           QDBus::Block, 5000);
  return true;
}

bool InstanceBus::publish() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  if (!bus.registerObject(QString::fromLatin1(objectPath), this, QDBusConnection::ExportScriptableSlots)) return false;
  return bus.registerService(QString::fromLatin1(NativeProduct::applicationId));
}

void InstanceBus::Open() { emit openRequested({}); }

void InstanceBus::OpenWith(const QVariantMap& platformData) {
  // The token of the platform the program runs on: the X11 id, also under XWayland where the
  // program runs by default, or the Wayland token.
  const bool wayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
  const QString key = QString::fromLatin1(wayland ? "activation-token" : "desktop-startup-id");
  emit openRequested(platformData.value(key).toString().toUtf8());
}

void InstanceBus::Quit() {
  // Answer the caller first: the quit may wait for a recording to be finalised.
  QMetaObject::invokeMethod(this, &InstanceBus::quitRequested, Qt::QueuedConnection);
}

}  // namespace talvo
