#include "app/ui/dbus_menu_exporter.h"

#include <QAction>
#include <QDBusMetaType>
#include <QMenu>

namespace talvo {

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item) {
  argument.beginStructure();
  argument << item.id << item.properties;
  // Children travel as variants, which is how the type nests: (ia{sv}av).
  argument.beginArray(QMetaType::fromType<QDBusVariant>());
  for (const DBusMenuLayoutItem& child : item.children) argument << QDBusVariant(QVariant::fromValue(child));
  argument.endArray();
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item) {
  argument.beginStructure();
  argument >> item.id >> item.properties;
  argument.beginArray();
  item.children.clear();
  while (!argument.atEnd()) {
    QDBusVariant child;
    argument >> child;
    item.children.append(qdbus_cast<DBusMenuLayoutItem>(child.variant()));
  }
  argument.endArray();
  argument.endStructure();
  return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemProperties& item) {
  argument.beginStructure();
  argument << item.id << item.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemProperties& item) {
  argument.beginStructure();
  argument >> item.id >> item.properties;
  argument.endStructure();
  return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event) {
  argument.beginStructure();
  argument << event.id << event.eventId << event.data << event.timestamp;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event) {
  argument.beginStructure();
  argument >> event.id >> event.eventId >> event.data >> event.timestamp;
  argument.endStructure();
  return argument;
}

DBusMenuExporter::DBusMenuExporter(QMenu* menu, QObject* parent) : QObject(parent), menu_(menu) { registerTypes(); }

void DBusMenuExporter::registerTypes() {
  qDBusRegisterMetaType<DBusMenuLayoutItem>();
  qDBusRegisterMetaType<DBusMenuItemProperties>();
  qDBusRegisterMetaType<QList<DBusMenuItemProperties>>();
  qDBusRegisterMetaType<DBusMenuEvent>();
  qDBusRegisterMetaType<QList<DBusMenuEvent>>();
}

QAction* DBusMenuExporter::action(int id) const {
  if (!menu_ || id <= 0) return nullptr;
  const QList<QAction*> actions = menu_->actions();
  return id <= actions.size() ? actions[id - 1] : nullptr;
}

QVariantMap DBusMenuExporter::properties(int id) const {
  if (id == 0) return {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
  QAction* a = action(id);
  if (!a) return {};
  if (a->isSeparator()) return {{QStringLiteral("type"), QStringLiteral("separator")}};
  QString label = a->text();
  label.replace(QLatin1Char('_'), QStringLiteral("__"));  // an underscore marks a mnemonic
  return {{QStringLiteral("label"), label},
          {QStringLiteral("enabled"), a->isEnabled()},
          {QStringLiteral("visible"), a->isVisible()}};
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList&, DBusMenuLayoutItem& layout) {
  layout = DBusMenuLayoutItem{parentId, properties(parentId), {}};
  if (parentId == 0 && recursionDepth != 0 && menu_) {
    for (int id = 1; id <= menu_->actions().size(); ++id) layout.children.append({id, properties(id), {}});
  }
  return 1;
}

QList<DBusMenuItemProperties> DBusMenuExporter::GetGroupProperties(const QList<int>& ids, const QStringList&) {
  QList<DBusMenuItemProperties> result;
  for (int id : ids) {
    if (id == 0 || action(id)) result.append({id, properties(id)});
  }
  return result;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString& name) {
  return QDBusVariant(properties(id).value(name));
}

void DBusMenuExporter::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
  if (eventId != QLatin1String("clicked")) return;
  if (QAction* a = action(id); a && a->isEnabled() && !a->isSeparator()) {
    // Answer the host first: the action may end the program.
    QMetaObject::invokeMethod(a, &QAction::trigger, Qt::QueuedConnection);
  }
}

QList<int> DBusMenuExporter::EventGroup(const QList<DBusMenuEvent>& events) {
  QList<int> unknown;
  for (const DBusMenuEvent& e : events) {
    if (e.id != 0 && !action(e.id)) unknown.append(e.id);
    Event(e.id, e.eventId, e.data, e.timestamp);
  }
  return unknown;
}

bool DBusMenuExporter::AboutToShow(int) { return false; }

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int>&, QList<int>& idErrors) {
  idErrors.clear();
  return {};
}

}  // namespace talvo
