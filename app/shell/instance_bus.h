#pragma once
// The running program's name on the D-Bus session bus, "pro.talvo.recorder". A second launch
// finds the first through it and asks it to open its panel, before touching any file of ours.
// Without a session bus nothing is found and the lock in the recordings directory alone decides.
#include <QByteArray>
#include <QObject>
#include <QVariantMap>

namespace talvo {

class InstanceBus : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "pro.talvo.recorder")

 public:
  static constexpr const char* objectPath = "/pro/talvo/recorder";

  explicit InstanceBus(QObject* parent = nullptr);

  // Keeps what the launcher put in the environment for this launch (the startup id, the
  // activation token); called before the application object, which takes them away.
  static void keepLaunchTokens();

  // True when another instance owns the name; it has then been asked to open its panel.
  static bool openRunningInstance();

  // Asks a running instance to quit (`talvo --quit`). False when none runs.
  static bool quitRunningInstance();

  // Takes the name for this process and answers Open calls through `openRequested`. False when
  // there is no session bus or the name is taken.
  bool publish();

 public slots:
  // Called over the bus by a second launch (an older one calls Open).
  Q_SCRIPTABLE void Open();
  // The same with what the launcher gave the second launch: "desktop-startup-id" (X11's
  // DESKTOP_STARTUP_ID) and "activation-token" (Wayland's XDG_ACTIVATION_TOKEN), either may be
  // missing.
  Q_SCRIPTABLE void OpenWith(const QVariantMap& platformData);
  // Called over the bus by `talvo --quit`; the quit itself goes through the quit decision.
  Q_SCRIPTABLE void Quit();

 private:
  static QVariantMap& launchData();

 signals:
  // `startupId`: the launcher's startup id (on Wayland its activation token) for the window that
  // opens, empty when none came.
  void openRequested(const QByteArray& startupId);
  void quitRequested();
};

}  // namespace talvo
