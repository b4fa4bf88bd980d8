#pragma once
// A flat QMenu published as com.canonical.dbusmenu, for StatusNotifierItem hosts that show the
// item's menu themselves (GNOME's AppIndicator extension) instead of asking for ContextMenu.
// Entries are numbered by their place in the menu (the root is 0); "clicked" triggers the action.
// A call about an entry or a property that does not exist is answered with an error, never left
// without an answer.
#include <QDBusArgument>
#include <QDBusContext>
#include <QDBusVariant>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

class QAction;
class QMenu;

namespace talvo {

struct DBusMenuLayoutItem {
  int id = 0;
  QVariantMap properties;
  QList<DBusMenuLayoutItem> children;
};

struct DBusMenuItemProperties {
  int id = 0;
  QVariantMap properties;
};

// The properties an update removes from an entry: (ias).
struct DBusMenuItemKeys {
  int id = 0;
  QStringList names;
};

struct DBusMenuEvent {
  int id = 0;
  QString eventId;
  QDBusVariant data;
  uint timestamp = 0;
};

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemProperties& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event);

class DBusMenuExporter : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
  Q_PROPERTY(uint Version READ version)
  Q_PROPERTY(QString TextDirection READ textDirection)
  Q_PROPERTY(QString Status READ status)
  Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

 public:
  explicit DBusMenuExporter(QMenu* menu, QObject* parent = nullptr);
  static void registerTypes();
  // The menu shown from now on (the exporter outlives the item that set it).
  void setMenu(QMenu* menu);

  uint version() const { return 3; }
  QString textDirection() const { return QStringLiteral("ltr"); }
  QString status() const { return QStringLiteral("normal"); }
  QStringList iconThemePath() const { return {}; }

 public slots:
  uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames, talvo::DBusMenuLayoutItem& layout);
  QList<talvo::DBusMenuItemProperties> GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
  QDBusVariant GetProperty(int id, const QString& name);
  void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
  QList<int> EventGroup(const QList<talvo::DBusMenuEvent>& events);
  bool AboutToShow(int id);
  QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

 signals:
  void ItemsPropertiesUpdated(const QList<talvo::DBusMenuItemProperties>& updated,
                              const QList<talvo::DBusMenuItemKeys>& removed);
  void LayoutUpdated(uint revision, int parent);
  void ItemActivationRequested(int id, uint timestamp);

 private:
  QAction* action(int id) const;
  bool exists(int id) const;
  QVariantMap properties(int id, const QStringList& names = {}) const;
  void refuseUnknownItem(int id);

  QPointer<QMenu> menu_;
  uint revision_ = 1;
};

}  // namespace talvo

Q_DECLARE_METATYPE(talvo::DBusMenuLayoutItem)
Q_DECLARE_METATYPE(talvo::DBusMenuItemProperties)
Q_DECLARE_METATYPE(talvo::DBusMenuEvent)
Q_DECLARE_METATYPE(talvo::DBusMenuItemKeys)
