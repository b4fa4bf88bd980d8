#pragma once
// The program's updater: reads the release feed, and for a user-started update downloads,
// verifies and installs the release, then relaunches into it. Every step asks ReleaseUpdates
// (the delegate) first; network and disk work runs on worker threads, the hooks on the main
// thread.
//
//   may check ─ fetch feed ─ newest newer item? ── no ─ not found, cycle ends (no update)
//                                  │ yes
//                     should proceed (archive policy) ─ found
//            quiet: cycle ends     │ user: offer ── declined ─ cycle ends (cancelled)
//                                  │ accepted
//                download + verify ─ will install ─ unpack, check, exchange
//                                  │
//            postpone relaunch? ── yes: the relaunch is kept by the delegate; cycle ends
//                                  │ no
//            should relaunch? ─ relaunch ─ cycle ends
#include <QFuture>
#include <QObject>

#include <memory>
#include <optional>

#include "app/updates/appcast_item.h"
#include "app/updates/release_updater.h"
#include "app/updates/update_error.h"
#include "app/updates/update_user_driver.h"
#include "app/updates/updater_configuration.h"
#include "cloud/desktop_http_transport.h"

namespace talvo {

class ReleaseUpdates;

class FeedUpdater : public QObject, public ReleaseUpdater {
  Q_OBJECT

 public:
  // `relaunchAfterPid`: the new program starts once this process is gone (this process by
  // default: the program quits right after asking for the relaunch).
  FeedUpdater(ReleaseUpdates& delegate, UpdaterConfiguration configuration,
              std::shared_ptr<DesktopHTTPTransport> transport, std::unique_ptr<UpdateUserDriver> driver,
              int relaunchAfterPid = 0);
  ~FeedUpdater() override;

  bool canCheckForUpdates() const override { return !running_; }
  void checkForUpdatesInBackground() override;
  void checkForUpdates() override;

 private:
  void begin(bool userInitiated);
  void found(const AppcastItem& item);
  void install(const AppcastItem& item);
  void installed(const AppcastItem& item);
  void relaunch();
  void finish(std::optional<UpdateError> error);

  ReleaseUpdates& delegate_;
  UpdaterConfiguration configuration_;
  std::shared_ptr<DesktopHTTPTransport> transport_;
  std::unique_ptr<UpdateUserDriver> driver_;
  std::shared_ptr<CancellationFlag> cancellation_;
  int relaunchAfterPid_;
  QFuture<void> worker_;  // the running worker, if any
  bool running_ = false;
  bool userInitiated_ = false;
};

}  // namespace talvo
