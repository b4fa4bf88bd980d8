#include "app/tray/dbus_menu_exporter.h"

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

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& item) {
  argument.beginStructure();
  argument << item.id << item.names;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& item) {
  argument.beginStructure();
  argument >> item.id >> item.names;
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
  qDBusRegisterMetaType<DBusMenuItemKeys>();
  qDBusRegisterMetaType<QList<DBusMenuItemKeys>>();
  qDBusRegisterMetaType<DBusMenuEvent>();
  qDBusRegisterMetaType<QList<DBusMenuEvent>>();
}

void DBusMenuExporter::setMenu(QMenu* menu) {
  if (menu == menu_) return;
  menu_ = menu;
  emit LayoutUpdated(++revision_, 0);
}

QAction* DBusMenuExporter::action(int id) const {
  if (!menu_ || id <= 0) return nullptr;
  const QList<QAction*> actions = menu_->actions();
  return id <= actions.size() ? actions[id - 1] : nullptr;
}

bool DBusMenuExporter::exists(int id) const { return id == 0 || action(id) != nullptr; }

QVariantMap DBusMenuExporter::properties(int id, const QStringList& names) const {
  QVariantMap all;
  if (id == 0) {
    all = {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
  } else if (QAction* a = action(id); a && a->isSeparator()) {
    all = {{QStringLiteral("type"), QStringLiteral("separator")}};
  } else if (a) {
    QString label = a->text();
    label.replace(QLatin1Char('_'), QStringLiteral("__"));  // an underscore marks a mnemonic
    all = {{QStringLiteral("label"), label},
           {QStringLiteral("enabled"), a->isEnabled()},
           {QStringLiteral("visible"), a->isVisible()}};
  }
  if (names.isEmpty()) return all;  // no names: every property
  QVariantMap wanted;
  for (const QString& name : names) {
    if (all.contains(name)) wanted.insert(name, all.value(name));
  }
  return wanted;
}

void DBusMenuExporter::refuseUnknownItem(int id) {
  if (calledFromDBus()) {
    sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no menu entry %1").arg(id));
  }
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                 DBusMenuLayoutItem& layout) {
  if (!exists(parentId)) {
    refuseUnknownItem(parentId);
    return revision_;
  }
  layout = DBusMenuLayoutItem{parentId, properties(parentId, propertyNames), {}};
  if (parentId == 0 && recursionDepth != 0 && menu_) {
    for (int id = 1; id <= menu_->actions().size(); ++id) {
      layout.children.append({id, properties(id, propertyNames), {}});
    }
  }
  return revision_;
}

QList<DBusMenuItemProperties> DBusMenuExporter::GetGroupProperties(const QList<int>& ids,
                                                                   const QStringList& propertyNames) {
  QList<int> wanted = ids;
  if (wanted.isEmpty()) {
    // No ids: every entry, the root included.
    wanted.append(0);
    for (int id = 1; menu_ && id <= menu_->actions().size(); ++id) wanted.append(id);
  }
  QList<DBusMenuItemProperties> result;
  for (int id : wanted) {
    if (exists(id)) result.append({id, properties(id, propertyNames)});
  }
  return result;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString& name) {
  const QVariantMap all = properties(id);
  if (!exists(id)) {
    refuseUnknownItem(id);
  } else if (!all.contains(name)) {
    if (calledFromDBus())
      sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("entry %1 has no %2").arg(id).arg(name));
  } else {
    return QDBusVariant(all.value(name));
  }
  return QDBusVariant(QString());  // not sent: the error is the answer
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
