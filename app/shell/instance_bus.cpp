#include "app/shell/instance_bus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include "core/program/native_product.h"

namespace talvo {

InstanceBus::InstanceBus(QObject* parent) : QObject(parent) {}

bool InstanceBus::openRunningInstance() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QString name = QString::fromLatin1(NativeProduct::applicationId);
  if (!bus.interface()->isServiceRegistered(name).value()) return false;
  QDBusMessage open =
      QDBusMessage::createMethodCall(name, QString::fromLatin1(objectPath), name, QStringLiteral("Open"));
  // The name has an owner, so an instance runs even if it is too busy to answer now: a second
  // one must not start either way.
  bus.call(open, QDBus::Block, 5000);
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

void InstanceBus::Open() { emit openRequested(); }

void InstanceBus::Quit() {
  // Answer the caller first: the quit may wait for a recording to be finalised.
  QMetaObject::invokeMethod(this, &InstanceBus::quitRequested, Qt::QueuedConnection);
}

}  // namespace talvo
