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
//                (cancellable: ends as cancelled)
//                                  │
//            postpone relaunch? ── yes: the relaunch is kept by the delegate; cycle ends
//                                  │ no
//            should relaunch? ─ relaunch ─ cycle ends
#include <QFuture>
#include <QObject>

#include <cstdint>
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

  // Also waits for the worker of a cancelled cycle, which stops within a fraction of a second.
  bool canCheckForUpdates() const override { return !running_ && worker_.isFinished(); }
  void checkForUpdatesInBackground() override;
  void checkForUpdates() override;

 private:
  void begin(bool userInitiated);
  void found(const AppcastItem& item);
  void install(const AppcastItem& item);
  void installed(const AppcastItem& item);
  void cancelDownload();
  // Starts the waiter that runs the new program; false when it could not be started.
  bool relaunch();
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
  bool downloading_ = false;
  // Counts cycles: a worker's result that arrives after its cycle ended (cancelled) is dropped.
  std::uint64_t cycle_ = 0;
};

}  // namespace talvo
