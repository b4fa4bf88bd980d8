#include "app/updates/feed_updater.h"

#include <unistd.h>

#include <QProcess>
#include <QtConcurrent/QtConcurrentRun>

#include <variant>

#include "app/updates/appcast_feed.h"
#include "app/updates/archive_download.h"
#include "app/updates/install_tree.h"
#include "app/updates/release_updates.h"
#include "core/file_error.h"
#include "core/posix_file.h"

namespace talvo {
namespace {

template <typename T>
using Outcome = std::variant<T, UpdateError>;

// Runs `work` on a worker thread and hands its result or its failure (as an UpdateError with
// `code`) to `done` on the main thread, unless `context` is gone by then. `running` keeps the
// worker's own future so the owner can wait for it.
template <typename Work, typename Done>
void runWorker(QObject* context, QFuture<void>& running, int code, Work work, Done done) {
  using Result = decltype(work());
  auto future = QtConcurrent::run([work = std::move(work), code]() mutable -> Outcome<Result> {
           try {
             return work();
           } catch (const UpdateError& error) {
             return error;
           } catch (const std::exception& error) {
             return UpdateError(UpdateError::Domain::updater, code, error.what());
           }
         });
  running = QFuture<void>(future);
  // A continuation attached to a future that has already finished runs at once, inside this
  // call; the queued hop makes `done` always come later, from the event loop.
  future.then(context, [context, done = std::move(done)](Outcome<Result> outcome) mutable {
    QMetaObject::invokeMethod(
        context, [done = std::move(done), outcome = std::move(outcome)]() mutable { done(std::move(outcome)); },
        Qt::QueuedConnection);
  });
}

std::string parentOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

}  // namespace

FeedUpdater::FeedUpdater(ReleaseUpdates& delegate, UpdaterConfiguration configuration,
                         std::shared_ptr<DesktopHTTPTransport> transport, std::unique_ptr<UpdateUserDriver> driver,
                         int relaunchAfterPid)
    : delegate_(delegate),
      configuration_(std::move(configuration)),
      transport_(std::move(transport)),
      driver_(std::move(driver)),
      relaunchAfterPid_(relaunchAfterPid > 0 ? relaunchAfterPid : static_cast<int>(getpid())) {}

FeedUpdater::~FeedUpdater() {
  // A worker still downloading stops within a fraction of a second; its result is dropped.
  if (cancellation_) cancellation_->cancel();
  worker_.waitForFinished();
}

void FeedUpdater::checkForUpdatesInBackground() { begin(false); }

void FeedUpdater::checkForUpdates() { begin(true); }

void FeedUpdater::begin(bool userInitiated) {
  if (running_) return;
  running_ = true;
  userInitiated_ = userInitiated;
  cancellation_ = std::make_shared<CancellationFlag>();
  try {
    delegate_.mayPerformUpdateCheck();
  } catch (const UpdateError& error) {
    return finish(error);
  }
  HttpRequest request;
  request.url = configuration_.feedUrl;
  request.cancellation = cancellation_;
  runWorker(
      this, worker_, UpdateError::feedInvalid,
      [transport = transport_, request, current = configuration_.currentVersion] {
        auto exchange = transport->send(request);
        if (exchange.response.status != 200)
          throw UpdateError(UpdateError::Domain::updater, UpdateError::feedInvalid,
                            "update feed answered " + std::to_string(exchange.response.status));
        return AppcastFeed::newest(AppcastFeed::parse(exchange.body), current);
      },
      [this](Outcome<std::optional<AppcastItem>> outcome) {
        if (auto* error = std::get_if<UpdateError>(&outcome)) return finish(*error);
        auto& item = std::get<0>(outcome);
        if (!item) {
          delegate_.didNotFindUpdate();
          return finish(UpdateError(UpdateError::Domain::updater, UpdateError::noUpdate, "no update"));
        }
        found(*item);
      });
}

void FeedUpdater::found(const AppcastItem& item) {
  try {
    delegate_.shouldProceedWithUpdate(item);
  } catch (const UpdateError& error) {
    return finish(error);
  }
  delegate_.didFindValidUpdate(item);
  if (!userInitiated_) return finish(std::nullopt);
  driver_->offer(item, [this, item](bool accepted) {
    if (!running_) return;
    if (!accepted)
      return finish(UpdateError(UpdateError::Domain::updater, UpdateError::installationCancelled, "cancelled"));
    install(item);
  });
}

void FeedUpdater::install(const AppcastItem& item) {
  auto key = configuration_.publicKeyBytes();
  if (!key) return finish(UpdateError(UpdateError::Domain::updater, UpdateError::archiveInvalid, "no public key"));
  // Progress crosses to the main thread in steps of 0.1 %, not once per network read.
  auto report = [this, last = -1](double fraction) mutable {
    int step = static_cast<int>(fraction * 1000);
    if (step == last) return;
    last = step;
    QMetaObject::invokeMethod(this, [this, fraction] {
      if (!running_) return;
      delegate_.downloadProgress(fraction);
      driver_->showProgress(fraction);
    }, Qt::QueuedConnection);
  };
  const std::string directory = parentOf(InstallTree(configuration_.installRoot).root());
  runWorker(
      this, worker_, UpdateError::downloadFailed,
      [transport = transport_, item, key = *key, directory, report, cancellation = cancellation_]() mutable {
        posix_file::makeDirectories(directory);
        return std::make_shared<UniqueFd>(
            ArchiveDownload::fetch(*transport, item, key, directory, report, cancellation));
      },
      [this, item](Outcome<std::shared_ptr<UniqueFd>> outcome) {
        if (auto* error = std::get_if<UpdateError>(&outcome)) return finish(*error);
        delegate_.downloadProgress(std::nullopt);
        driver_->dismiss();
        delegate_.willInstallUpdate(item);
        runWorker(
            this, worker_, UpdateError::installFailed,
            [archive = std::get<0>(outcome), item, root = configuration_.installRoot] {
              InstallTree(root).install(archive->get(), item.version);
              return true;
            },
            [this, item](Outcome<bool> installed) {
              if (auto* error = std::get_if<UpdateError>(&installed)) return finish(*error);
              this->installed(item);
            });
      });
}

void FeedUpdater::installed(const AppcastItem& item) {
  bool postponed = delegate_.shouldPostponeRelaunch(item, [this] { relaunch(); });
  if (!postponed && delegate_.shouldRelaunchApplication()) relaunch();
  finish(std::nullopt);
}

// The new program must not meet this one still holding the single-instance lock, so a small
// waiter starts it once this process has exited; then the program quits the normal way.
void FeedUpdater::relaunch() {
  const QString program = QString::fromStdString(InstallTree(configuration_.installRoot).executable());
  QProcess::startDetached(QStringLiteral("/bin/sh"),
                          {QStringLiteral("-c"),
                           QStringLiteral("while kill -0 \"$1\" 2>/dev/null; do sleep 0.1; done; exec \"$2\""),
                           QStringLiteral("talvo-relaunch"), QString::number(relaunchAfterPid_), program});
  delegate_.requestQuit();
}

void FeedUpdater::finish(std::optional<UpdateError> error) {
  running_ = false;
  driver_->dismiss();
  delegate_.didFinishUpdateCycle(error);
}

}  // namespace talvo
