#include "app/updates/feed_updater.h"

#include <unistd.h>

#include <QProcess>
#include <QtConcurrent/QtConcurrentRun>

#include <variant>

#include "app/log_categories.h"
#include "app/updates/appcast_feed.h"
#include "app/updates/archive_download.h"
#include "app/updates/install_tree.h"
#include "app/updates/release_updates.h"
#include "core/system/file_error.h"
#include "core/system/posix_file.h"

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

// $1 the pid to outlive, $2 the installed program, $3 the previous tree. Watches the new
// program for at most two minutes; the previous tree's own program switches back to it.
constexpr const char* relaunchWaiter =
    "while kill -0 \"$1\" 2>/dev/null; do sleep 0.1; done\n"
    "\"$2\" & new=$!\n"
    "i=0\n"
    "while [ -d \"$3\" ] && [ $i -lt 600 ]; do\n"
    "  if [ ! -e /proc/$new ] || grep -q '^State:[[:space:]]*Z' /proc/$new/status 2>/dev/null; then\n"
    "    wait \"$new\" && exit 0\n"
    "    \"$3/bin/talvo\" --restore-previous && exec \"$2\"\n"
    "    exit 1\n"
    "  fi\n"
    "  i=$((i + 1)); sleep 0.2\n"
    "done\n";

}  // namespace

FeedUpdater::FeedUpdater(ReleaseUpdates& delegate, UpdaterConfiguration configuration,
                         std::shared_ptr<DesktopHTTPTransport> transport, std::unique_ptr<UpdateUserDriver> driver,
                         int relaunchAfterPid)
    : delegate_(delegate),
      configuration_(std::move(configuration)),
      transport_(std::move(transport)),
      driver_(std::move(driver)),
      relaunchAfterPid_(relaunchAfterPid > 0 ? relaunchAfterPid : static_cast<int>(getpid())) {
  // What an interrupted update left behind goes at start, before anything else can use it.
  if (!configuration_.installRoot.empty()) InstallTree::removeLeftovers(configuration_.installRoot);
}

FeedUpdater::~FeedUpdater() {
  // A worker still downloading stops within a fraction of a second; its result is dropped.
  if (cancellation_) cancellation_->cancel();
  worker_.waitForFinished();
}

void FeedUpdater::checkForUpdatesInBackground() { begin(false); }

void FeedUpdater::checkForUpdates() { begin(true); }

void FeedUpdater::begin(bool userInitiated) {
  if (!canCheckForUpdates()) return;
  running_ = true;
  const auto cycle = ++cycle_;
  userInitiated_ = userInitiated;
  qCDebug(updatesLog) << "update check starts" << (userInitiated ? "(asked by the user)" : "(background)");
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
      [transport = transport_, request, current = configuration_.currentVersion,
       architecture = configuration_.architecture] {
        auto exchange = transport->send(request);
        if (exchange.response.status != 200)
          throw UpdateError(UpdateError::Domain::updater, UpdateError::feedInvalid,
                            "update feed answered " + std::to_string(exchange.response.status));
        return AppcastFeed::newest(AppcastFeed::parse(exchange.body), current, architecture);
      },
      [this, cycle](Outcome<std::optional<AppcastItem>> outcome) {
        if (cycle != cycle_ || !running_) return;
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
  qCDebug(updatesLog) << "update found:" << QString::fromStdString(item.version);
  try {
    delegate_.shouldProceedWithUpdate(item);
  } catch (const UpdateError& error) {
    return finish(error);
  }
  delegate_.didFindValidUpdate(item);
  if (!userInitiated_) return finish(std::nullopt);
  const auto cycle = cycle_;
  driver_->offer(
      item,
      [this, item, cycle](bool accepted) {
        if (cycle != cycle_ || !running_) return;
        qCDebug(updatesLog) << (accepted ? "update accepted" : "update declined");
        if (!accepted)
          return finish(UpdateError(UpdateError::Domain::updater, UpdateError::installationCancelled, "cancelled"));
        install(item);
      },
      [this, cycle] {
        if (cycle == cycle_ && running_ && downloading_) cancelDownload();
      });
}

// The worker stops at its next network read; its result, whenever it comes, is dropped.
void FeedUpdater::cancelDownload() {
  cancellation_->cancel();
  finish(UpdateError(UpdateError::Domain::updater, UpdateError::installationCancelled, "download cancelled"));
}

void FeedUpdater::install(const AppcastItem& item) {
  auto key = configuration_.publicKeyBytes();
  if (!key) return finish(UpdateError(UpdateError::Domain::updater, UpdateError::archiveInvalid, "no public key"));
  // Progress crosses to the main thread in steps of 0.1 %, not once per network read.
  const auto cycle = cycle_;
  auto report = [this, cycle, last = -1](double fraction) mutable {
    int step = static_cast<int>(fraction * 1000);
    if (step == last) return;
    last = step;
    QMetaObject::invokeMethod(
        this,
        [this, cycle, fraction] {
          if (cycle != cycle_ || !downloading_) return;
          delegate_.downloadProgress(fraction);
          driver_->showProgress(fraction);
        },
        Qt::QueuedConnection);
  };
  const std::string directory = parentOf(InstallTree(configuration_.installRoot).root());
  qCDebug(updatesLog) << "update download starts";
  downloading_ = true;
  runWorker(
      this, worker_, UpdateError::downloadFailed,
      [transport = transport_, item, key = *key, directory, report, cancellation = cancellation_]() mutable {
        posix_file::makeDirectories(directory);
        return std::make_shared<UniqueFd>(
            ArchiveDownload::fetch(*transport, item, key, directory, report, cancellation));
      },
      [this, item, cycle](Outcome<std::shared_ptr<UniqueFd>> outcome) {
        if (cycle != cycle_ || !running_) return;
        downloading_ = false;
        if (auto* error = std::get_if<UpdateError>(&outcome)) return finish(*error);
        delegate_.downloadProgress(std::nullopt);
        driver_->dismiss();
        qCDebug(updatesLog) << "update downloaded and verified; installing";
        delegate_.willInstallUpdate(item);
        runWorker(
            this, worker_, UpdateError::installFailed,
            [archive = std::get<0>(outcome), item, root = configuration_.installRoot] {
              // The previous tree stays until the new version has started once.
              InstallTree tree(root);
              tree.setKeepPrevious(true);
              tree.install(archive->get(), item.version);
              return true;
            },
            [this, item, cycle](Outcome<bool> installed) {
              if (cycle != cycle_ || !running_) return;
              if (auto* error = std::get_if<UpdateError>(&installed)) return finish(*error);
              this->installed(item);
            });
      });
}

void FeedUpdater::installed(const AppcastItem& item) {
  qCDebug(updatesLog) << "update installed:" << QString::fromStdString(item.version);
  bool postponed = delegate_.shouldPostponeRelaunch(item, [this] {
    if (!relaunch()) delegate_.relaunchFailed();
  });
  // A relaunch that fails leaves a good install: no failed update, nothing to install again.
  if (!postponed && delegate_.shouldRelaunchApplication() && !relaunch()) delegate_.relaunchFailed();
  finish(std::nullopt);
}

// The new program must not meet this one still holding the single-instance lock, so a small
// waiter starts it once this process has exited; then the program quits the normal way.
// The new version clears the previous tree when it starts; one that ends in failure before that
// gives way to the previous tree: the waiter has its program switch the install path back to it
// (InstallTree::restorePrevious, the same atomic switch as the update's) and starts it instead.
// If the waiter cannot start, the program keeps running (the new tree starts next time).
bool FeedUpdater::relaunch() {
  const InstallTree tree(configuration_.installRoot);
  const QString program = QString::fromStdString(tree.executable());
  const QString previous = QString::fromStdString(InstallTree::previousPath(tree.root()));
  if (!QProcess::startDetached(
          QString::fromStdString(configuration_.relaunchShell),
          {QStringLiteral("-c"), QString::fromLatin1(relaunchWaiter), QStringLiteral("talvo-relaunch"),
           QString::number(relaunchAfterPid_), program, previous})) {
    qCDebug(updatesLog) << "relaunch helper did not start";
    return false;
  }
  qCDebug(updatesLog) << "relaunch helper started; quitting";
  delegate_.requestQuit();
  return true;
}

void FeedUpdater::finish(std::optional<UpdateError> error) {
  if (error) {
    qCDebug(updatesLog) << "update cycle ends:" << error->code() << error->what();
  } else {
    qCDebug(updatesLog) << "update cycle ends";
  }
  running_ = false;
  downloading_ = false;
  // Our own refusals (busy recorder, unexpected address) are worth reading for a user who asked.
  if (userInitiated_ && error && error->domain() == UpdateError::Domain::updates) {
    driver_->showRefusal(error->what());
  } else {
    driver_->dismiss();
  }
  delegate_.didFinishUpdateCycle(error);
}

}  // namespace talvo
