#pragma once
// Keeps the installed program up to date. It decides when the updater may check, install and
// relaunch, and publishes three values for the panels: the version on offer, whether recording
// is blocked by an update, and the failure text of a user-started update. A recording is never
// interrupted: checks are refused while capture is busy, and the relaunch into a freshly
// installed version waits for the first moment the recorder is idle.
//
//   check()  -> may check -> found / not found -> cycle finished          (quiet, 6-hourly)
//   open()   -> may check -> should proceed -> found -> will install
//            -> postpone relaunch (busy: keep the relaunch) / should relaunch -> cycle finished
//   captureChanged() while idle -> run a kept relaunch
//
// Lives on the main thread; the updater calls its hooks there.
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

#include "app/updates/appcast_item.h"
#include "app/updates/release_updater.h"
#include "app/updates/update_error.h"
#include "app/updates/update_user_driver.h"
#include "app/updates/updater_configuration.h"
#include "core/system/clock.h"
#include "core/updates/update_lifecycle.h"

namespace talvo {

class ReleaseUpdates : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString available READ availableText NOTIFY availableChanged)
  Q_PROPERTY(bool blocksRecording READ blocksRecording NOTIFY blocksRecordingChanged)
  Q_PROPERTY(QString failure READ failureText NOTIFY failureChanged)
  Q_PROPERTY(double progress READ progressValue NOTIFY progressChanged)

 public:
  static constexpr const char* failedUpdateText = "Обновление не установлено. Попробуйте ещё раз.";
  // The new version is installed but could not be started in place of this one.
  static constexpr const char* restartNeededText =
      "Обновление установлено. Запустите TALVO снова, чтобы открыть новую версию.";

  // What the controller is built from; tests give a scripted updater and a stepped clock.
  struct Environment {
    UpdaterConfiguration configuration;
    // Makes the updater once the configuration is valid; the updater calls back `delegate`.
    std::function<std::unique_ptr<ReleaseUpdater>(ReleaseUpdates& delegate)> makeUpdater;
    // Checks are timed on its boot clock (it runs through suspend); default: the system's.
    std::shared_ptr<const Clock> clock;
    // Check again this often while running (milliseconds); 6 hours.
    int timerInterval = 21600 * 1000;
  };

  // The program's controller: this build's configuration on `service` and the real updater, which
  // asks the user through the window `makeWindow` makes.
  ReleaseUpdates(bool preview, std::function<bool()> captureBusy,
                 std::function<std::unique_ptr<UpdateUserDriver>()> makeWindow, const ServiceConfiguration& service,
                 QObject* parent = nullptr);
  ReleaseUpdates(bool preview, std::function<bool()> captureBusy, Environment environment, QObject* parent = nullptr);
  ~ReleaseUpdates() override;

  // Published state.
  const std::optional<QString>& available() const { return available_; }
  bool blocksRecording() const { return blocksRecording_; }
  const std::optional<QString>& failure() const { return failure_; }
  // Download progress of the running install, 0..1; none outside a download.
  std::optional<double> progress() const { return progress_; }
  const UpdateLifecycle& lifecycle() const { return lifecycle_; }
  double lastChecked() const { return lifecycle_.lastChecked; }
  // How the latest cycle ended: none when it finished without an error.
  const std::optional<UpdateError>& lastCycleError() const { return lastCycleError_; }
  // False for preview runs and misconfigured builds: nothing ever happens.
  bool active() const { return updater_ != nullptr; }

  // Quiet background check: at launch, on panel open, and every 6 hours.
  void check();
  // User-started update from the capture panel.
  void open();
  // The recorder's capture state changed.
  void captureChanged();

  // Hooks the updater calls, in this order within a cycle. Those that refuse throw UpdateError.
  void mayPerformUpdateCheck();
  void shouldProceedWithUpdate(const AppcastItem& item);
  void didFindValidUpdate(const AppcastItem& item);
  void didNotFindUpdate();
  void willInstallUpdate(const AppcastItem& item);
  // Returns true when the relaunch waits for the recording; `relaunch` is then kept.
  bool shouldPostponeRelaunch(const AppcastItem& item, std::function<void()> relaunch);
  bool shouldRelaunchApplication();
  void didFinishUpdateCycle(const std::optional<UpdateError>& error);
  // Download progress reported by the updater (none when the download is over).
  void downloadProgress(std::optional<double> fraction);
  // The new version is installed, but starting it failed: the user is told to start TALVO again,
  // recording is free, and nothing more is checked or installed until then (this process is the
  // old version; the feed would offer the installed one again).
  void relaunchFailed();
  // The new version has been started: quit (emits quitRequested).
  void requestQuit() { emit quitRequested(); }

  // Property readers (empty text = absent, -1 = no progress).
  QString availableText() const { return available_.value_or(QString()); }
  QString failureText() const { return failure_.value_or(QString()); }
  double progressValue() const { return progress_.value_or(-1.0); }

 signals:
  void availableChanged();
  void blocksRecordingChanged();
  void failureChanged();
  void progressChanged();
  // The new version is installed and started: the shell quits through its normal quit decision.
  void quitRequested();

 private:
  void republish();

  std::optional<QString> available_;
  bool blocksRecording_ = false;
  std::optional<QString> failure_;
  std::optional<double> progress_;
  UpdateLifecycle lifecycle_;
  std::unique_ptr<ReleaseUpdater> updater_;
  QTimer* timer_ = nullptr;
  std::function<void()> deferredInstall_;
  std::function<bool()> captureBusy_;
  std::shared_ptr<const Clock> clock_;
  ServiceConfiguration service_;  // where archives may come from
  std::optional<UpdateError> lastCycleError_;
  bool installedAwaitingRestart_ = false;
};

}  // namespace talvo
