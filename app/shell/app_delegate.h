#pragma once
// The running program: passes the start-up gate, builds every long-lived object in a fixed order
// and wires them together, keeps the tray icon, and decides what quitting means.
//
// Quitting ("Выйти", SIGTERM, SIGINT, the session's logout, the updater's relaunch) always goes
// through `requestQuit`: a running recording is stopped, finalised and handed to the queue first;
// a quit asked for by the user while a stop is under way is refused, while a signal or a logout,
// which cannot be refused, waits for the stop instead. No recording is lost by quitting.
#include <QMetaObject>
#include <QObject>
#include <memory>
#include <optional>
#include <span>

#include "core/program/native_instance_lock.h"
#include "core/program/quit_decision.h"
#include "core/program/service_configuration.h"

class QAction;
class QMenu;
class QSettings;

namespace talvo {

class AnchoredPanel;
class CapturePanelBinding;
class DesktopAppearance;
class InstanceBus;
class LoginStartup;
class MeetingReminderPanel;
class MeetingReminders;
class QuitController;
class RecorderModel;
class ReleaseUpdates;
class StatusIconRenderer;
class TrayPresence;

class AppDelegate : public QObject {
  Q_OBJECT

 public:
  using QuitCause = QuitDecision::Cause;
  static constexpr int teardownWaitMs = 5000;  // for the models' blocking calls at exit

  // `service`: where the cloud and the updater go, decided once at the program's start.
  explicit AppDelegate(ServiceConfiguration service, QObject* parent = nullptr);
  ~AppDelegate() override;

  // The gate, then the assembly. False when the gate stopped the start: the process exits.
  bool launch();

  // The quit decision.
  void requestQuit(QuitCause cause);

  // The tray icon's left click; the menu's "Открыть TALVO" and a second launch open the panel
  // (or the window, without a tray).
  void toggle();
  void openFromMenu();
  // A second launch asked for the panel, with the launcher's startup id when one came.
  void openForLaunch(const QByteArray& startupId);
  void updateStatus(bool recording, std::span<const float> values);

  TrayPresence* item() const { return item_; }
  AnchoredPanel* panel() const { return panel_.get(); }
  RecorderModel* model() const { return model_; }

 signals:
  // The quit decision let the program end (the event loop is told to exit).
  void quitting();

 private:
  bool passGate();
  // The assembly's steps, in this order.
  void makeModels();              // recorder (with cloud model and local folder), reminders, login startup
  void makeMenu();                // the tray menu: "Открыть TALVO", "Выйти"
  void followCaptureInTheIcon();  // the icon follows the recording flag and its levels
  void makeUpdates();             // the updater, never while a capture is busy, blocking new ones
  void makePanelAndTray();        // the panel with the capture panel, and where it shows
  void startReminders();          // the meeting reminder over the panel, then its polling
  void routeQuitRequests();       // every way of quitting through the one decision
  bool captureBusy() const;
  void captureStateChanged();

  const ServiceConfiguration service_;
  // In the order the program builds them.
  TrayPresence* item_ = nullptr;  // the tray icon, or the window when there is no tray
  std::unique_ptr<AnchoredPanel> panel_;
  RecorderModel* model_ = nullptr;
  ReleaseUpdates* updates_ = nullptr;
  std::unique_ptr<StatusIconRenderer> statusRenderer_;
  MeetingReminders* reminders_ = nullptr;
  LoginStartup* loginStartup_ = nullptr;
  std::optional<NativeInstanceLock> instanceLock_;

  std::shared_ptr<QSettings> settings_;
  std::unique_ptr<CapturePanelBinding> binding_;
  std::unique_ptr<MeetingReminderPanel> reminderPanel_;
  std::unique_ptr<QMenu> menu_;
  DesktopAppearance* appearance_ = nullptr;
  InstanceBus* bus_ = nullptr;
  QuitController* quit_ = nullptr;
};

}  // namespace talvo
