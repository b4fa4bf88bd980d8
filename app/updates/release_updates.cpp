#include "app/updates/release_updates.h"

#include "app/log_categories.h"

#include "app/updates/feed_updater.h"
#include "cloud/bounded_desktop_transport.h"
#include "core/system/clock.h"
#include "core/updates/update_archive_policy.h"

namespace talvo {
namespace {

ReleaseUpdates::Environment programEnvironment(std::function<std::unique_ptr<UpdateUserDriver>()> makeWindow,
                                               const ServiceConfiguration& service) {
  ReleaseUpdates::Environment environment;
  environment.configuration = UpdaterConfiguration::current(service);
  environment.makeUpdater = [configuration = environment.configuration,
                             makeWindow = std::move(makeWindow)](ReleaseUpdates& delegate) {
    auto transport =
        std::make_shared<BoundedDesktopTransport>(BoundedDesktopTransport::optionsFor(configuration.service));
    return std::make_unique<FeedUpdater>(delegate, configuration, std::move(transport), makeWindow());
  };
  return environment;
}

}  // namespace

ReleaseUpdates::ReleaseUpdates(bool preview, std::function<bool()> captureBusy,
                               std::function<std::unique_ptr<UpdateUserDriver>()> makeWindow,
                               const ServiceConfiguration& service, QObject* parent)
    : ReleaseUpdates(preview, std::move(captureBusy), programEnvironment(std::move(makeWindow), service), parent) {}

ReleaseUpdates::ReleaseUpdates(bool preview, std::function<bool()> captureBusy, Environment environment,
                               QObject* parent)
    : QObject(parent),
      captureBusy_(std::move(captureBusy)),
      clock_(environment.clock ? std::move(environment.clock) : Clock::system()),
      service_(environment.configuration.service) {
  if (preview || !environment.makeUpdater) return;
  if (auto why = environment.configuration.whyInert()) {
    // A release that switched its updater off says why where the user's log can show it.
    if (environment.configuration.releaseChannel == UpdaterConfiguration::productionChannel) {
      qCWarning(updatesLog) << "updates off:" << QString::fromStdString(*why);
    } else {
      qCDebug(updatesLog) << "updates off:" << QString::fromStdString(*why);
    }
    return;
  }
  updater_ = environment.makeUpdater(*this);
  if (!updater_) return;
  timer_ = new QTimer(this);
  timer_->setInterval(environment.timerInterval);
  // Queued: a tick never runs a check inside whatever the main loop was doing.
  connect(timer_, &QTimer::timeout, this,
          [this] { QMetaObject::invokeMethod(this, &ReleaseUpdates::check, Qt::QueuedConnection); });
  timer_->start();
}

// The timer is a child: it stops with the controller.
ReleaseUpdates::~ReleaseUpdates() = default;

void ReleaseUpdates::check() {
  if (!updater_ || installedAwaitingRestart_ || !updater_->canCheckForUpdates()) return;
  if (!lifecycle_.beginQuietCheck(clock_->bootSeconds(), captureBusy_())) return;
  updater_->checkForUpdatesInBackground();
}

void ReleaseUpdates::open() {
  if (!updater_ || installedAwaitingRestart_ || !updater_->canCheckForUpdates()) return;
  if (!lifecycle_.beginUserUpdate(captureBusy_())) return;
  if (failure_) {
    failure_.reset();
    emit failureChanged();
  }
  republish();
  updater_->checkForUpdates();
}

void ReleaseUpdates::captureChanged() {
  if (captureBusy_()) return;
  if (!lifecycle_.captureBecameIdle()) return;
  auto relaunch = std::move(deferredInstall_);
  deferredInstall_ = nullptr;
  republish();
  if (relaunch) relaunch();
}

void ReleaseUpdates::mayPerformUpdateCheck() {
  if (captureBusy_()) throw UpdateError::busy();
}

void ReleaseUpdates::shouldProceedWithUpdate(const AppcastItem& item) {
  if (!UpdateArchivePolicy::allows(item.url, item.length, service_)) throw UpdateError::refusedArchive();
}

void ReleaseUpdates::didFindValidUpdate(const AppcastItem& item) {
  lifecycle_.found(item.displayVersion);
  republish();
}

void ReleaseUpdates::didNotFindUpdate() {
  lifecycle_.noUpdate();
  republish();
}

void ReleaseUpdates::willInstallUpdate(const AppcastItem&) {
  lifecycle_.willInstall();
  republish();
}

bool ReleaseUpdates::shouldPostponeRelaunch(const AppcastItem&, std::function<void()> relaunch) {
  bool busy = captureBusy_();
  lifecycle_.postponeRelaunch(busy);
  if (busy) deferredInstall_ = std::move(relaunch);
  republish();
  return busy;
}

bool ReleaseUpdates::shouldRelaunchApplication() { return !captureBusy_(); }

void ReleaseUpdates::didFinishUpdateCycle(const std::optional<UpdateError>& error) {
  lastCycleError_ = error;
  if (!error) {
    lifecycle_.finished();
  } else {
    if (lifecycle_.userInitiated && !error->benign()) {
      failure_ = QString::fromUtf8(failedUpdateText);
      emit failureChanged();
    }
    deferredInstall_ = nullptr;
    lifecycle_.failed();
  }
  downloadProgress(std::nullopt);
  republish();
}

void ReleaseUpdates::relaunchFailed() {
  installedAwaitingRestart_ = true;
  failure_ = QString::fromUtf8(restartNeededText);
  emit failureChanged();
  lifecycle_.failed();
  lifecycle_.noUpdate();
  republish();
}

void ReleaseUpdates::downloadProgress(std::optional<double> fraction) {
  if (fraction == progress_) return;
  progress_ = fraction;
  emit progressChanged();
}

void ReleaseUpdates::republish() {
  std::optional<QString> available;
  if (lifecycle_.availableVersion) available = QString::fromStdString(*lifecycle_.availableVersion);
  if (available != available_) {
    available_ = std::move(available);
    emit availableChanged();
  }
  if (lifecycle_.blocksRecording != blocksRecording_) {
    blocksRecording_ = lifecycle_.blocksRecording;
    emit blocksRecordingChanged();
  }
}

}  // namespace talvo
