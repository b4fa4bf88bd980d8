#include "app/models/cloud_model.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <utility>

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

#include "app/log_categories.h"
#include "app/models/model_worker.h"
#include "cloud/bounded_desktop_transport.h"
#include "cloud/cloud_failure.h"
#include "cloud/deferred_queue_cloud.h"
#include "cloud/desktop_cloud.h"
#include "cloud/secret_service_device_store.h"
#include "cloud/queue_desktop_cloud.h"
#include "core/system/clock.h"
#include "core/program/native_product.h"
#include "core/values/recording_id.h"
#include "core/program/telegram_destination.h"

namespace talvo {

// What the interface shows of the client and the queue, read together on a worker.
struct CloudModel::State {
  std::optional<std::string> owner;
  std::optional<CloudAccount> account;
  std::optional<CloudInfo> info;
  std::optional<QueueSummary> summary;
  std::optional<PendingPair> pending;
};

// The client and the queue's view of it, built together once the account store answered.
struct CloudModel::Client {
  std::shared_ptr<DesktopCloud> cloud;
  std::shared_ptr<QueueCloud> queueCloud;
};

// Recordings begun before the queue had read the directory at start; recovery leaves them be.
struct CloudModel::InFlight {
  std::mutex mutex;
  std::set<std::string> ids;
  void insert(const std::string& id) {
    std::lock_guard lock(mutex);
    ids.insert(id);
  }
  bool contains(const std::string& id) {
    std::lock_guard lock(mutex);
    return ids.count(id) != 0;
  }
  void clear() {
    std::lock_guard lock(mutex);
    ids.clear();
  }
};

namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

// The text a failed user action shows; the log gets the action and the failure's facts (its
// code and HTTP status, errno), which the Russian text leaves out.
template <class T>
QString failureText(const char* action, const WorkerOutcome<T>& outcome) {
  qCWarning(cloudLog).noquote() << action << "failed:" << text(outcome.diagnosis());
  return text(outcome.description());
}

std::optional<QUrl> parsedUrl(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  QUrl url(text(*value), QUrl::StrictMode);
  if (!url.isValid() || url.scheme().isEmpty()) return std::nullopt;
  return url;
}

bool isCredentialFailure(const std::string& code) {
  return code == "AUTH_REQUIRED" || code == "DEVICE_REVOKED" || code == "OWNER_MISMATCH" ||
         code == "CREDENTIAL_CHANGED";
}

}  // namespace

CloudModel::CloudModel(QString directory, QObject* parent) : CloudModel(std::move(directory), Setup{}, parent) {}

CloudModel::CloudModel(QString directory, Setup setup, QObject* parent)
    : QObject(parent),
      setup_(std::move(setup)),
      configuration_(setup_.configuration.value_or(ServiceConfiguration::production())),
      inFlight_(std::make_shared<InFlight>()),
      deferred_(std::make_shared<DeferredQueueCloud>()) {
  if (!setup_.openUrl) setup_.openUrl = desktopUrlOpener();
  if (!setup_.queueClock) setup_.queueClock = Clock::system();
  timer_ = new QTimer(this);
  timer_->setSingleShot(true);
  timer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer_, &QTimer::timeout, this, &CloudModel::tick);

  // Two steps, each on a worker. First the queue: it needs only the recordings directory, so a
  // recording gets its record at once even while the keyring's unlock prompt waits for the user.
  // Recovery runs before any record of this run is written; a recording that starts meanwhile
  // is named in `inFlight` so recovery never takes its file for a crashed one. Then the account
  // store, which may wait for that prompt; `preparing` lasts until it answered.
  runOnWorker(
      this,
      [deferred = deferred_, clock = setup_.queueClock, inFlight = inFlight_, directory = directory.toStdString()] {
        // The queue keeps its cloud alive: whoever holds the queue holds both.
        struct Holder {
          std::shared_ptr<DeferredQueueCloud> cloud;
          std::unique_ptr<DesktopUploadQueue> queue;
        };
        auto holder = std::make_shared<Holder>();
        holder->cloud = deferred;
        holder->queue = std::make_unique<DesktopUploadQueue>(directory, *deferred, clock);
        std::shared_ptr<DesktopUploadQueue> queue(holder, holder->queue.get());
        bool recovered = true;
        try {
          const int adopted = queue->recover([inFlight](const std::string& id) { return inFlight->contains(id); });
          if (adopted > 0) qCWarning(queueLog) << "recordings without a record joined the queue:" << adopted;
        } catch (...) {  // without a usable recordings directory the account still works
          logSwallowed(queueLog(), "queue not recovered", "its records stay as they are");
          recovered = false;
        }
        std::optional<QueueSummary> summary;
        try {
          summary = queue->summary();
        } catch (...) {
          logSwallowed(queueLog(), "queue summary not read", "none shown until the next read");
        }
        return std::make_tuple(queue, recovered, summary);
      },
      [this](auto outcome) {
        if (!outcome.ok()) {  // nothing of the queue could be built
          queueOpened(nullptr, false, std::nullopt);
          return;
        }
        auto& [queue, recovered, summary] = *outcome.value;
        queueOpened(queue, recovered, summary);
      });
}

CloudModel::~CloudModel() = default;

void CloudModel::queueOpened(std::shared_ptr<DesktopUploadQueue> queue, bool recovered,
                             std::optional<QueueSummary> summary) {
  qCDebug(queueLog) << "queue opened:" << (recovered ? "recovered" : "not recovered");
  queue_ = std::move(queue);
  queueRead_ = true;
  inFlight_->clear();  // recovery is over: nothing looks for crashed recordings any more
  if (!recovered) setLocalWarning(QString(recoveryFailedText));
  if (summary) setSummary(*summary);
  reserveWaiting();
  openStore();
}

void CloudModel::openStore() {
  auto makeStore = setup_.store;
  auto configuration = configuration_;
  auto transport = setup_.transport;
  runOnWorker(
      this,
      [makeStore, configuration, transport, deferred = deferred_, queue = queue_]() {
        auto client = std::make_shared<Client>();
        State state;
        try {
          std::shared_ptr<DeviceVaultStore> store =
              makeStore ? makeStore()
                        : std::make_shared<SecretServiceDeviceStore>(NativeProduct::deviceCredentialsService);
          auto http =
              transport ? transport
                        : std::make_shared<BoundedDesktopTransport>(BoundedDesktopTransport::optionsFor(configuration));
          client->cloud = std::make_shared<DesktopCloud>(store, http, configuration.origin, configuration.telegramHost);
        } catch (...) {
          logSwallowed(cloudLog(), "account store not opened", "the queue keeps recordings without owner this run");
          return std::make_tuple(std::shared_ptr<Client>(), state);
        }
        client->queueCloud = std::make_shared<QueueDesktopCloud>(client->cloud);
        deferred->attach(client->queueCloud);
        state.owner = client->cloud->owner();
        state.account = client->cloud->account();
        state.info = client->cloud->info();
        state.pending = client->cloud->pending();
        try {
          if (queue) state.summary = queue->summary();
        } catch (...) {
          logSwallowed(queueLog(), "queue summary not read", "none shown until the next read");
        }
        return std::make_tuple(client, state);
      },
      [this](auto outcome) {
        if (!outcome.ok()) {  // building the store itself failed
          started(nullptr, {});
          return;
        }
        auto& [client, state] = *outcome.value;
        started(client, state);
      });
}

void CloudModel::started(std::shared_ptr<Client> client, const State& state) {
  qCDebug(cloudLog) << "cloud ready:" << (client ? "account store open" : "no account store");
  if (!client) {
    setMessage(QString(keyUnavailableText));
    unowned_.clear();  // they stay in the queue without owner; the user sends them once connected
  } else {
    cloud_ = client->cloud;
    queueCloud_ = client->queueCloud;
    applyState(state);
  }
  preparing_ = false;
  emit preparingChanged();
  claimUnowned();
  if (cloud_ && !connected_ && state.pending) {
    setPairing(state.pending->code ? std::optional<QString>(text(*state.pending->code)) : std::nullopt,
               parsedUrl(state.pending->approvalUrl));
    polling_ = state.pending->approvalUrl.has_value();
  }
  synchronizeThen([this] { scheduleTick(); });
}

void CloudModel::reserve(Reserved answer) {
  if (queueRead_ && !queue_) {  // no queue this run: the recording stays on the computer only
    answer(QString::fromStdString(makeRecordingId()), std::nullopt);
    return;
  }
  if (!queue_) {
    // The queue is still reading the directory (a moment at start): the record follows.
    const QString id = QString::fromStdString(makeRecordingId());
    inFlight_->insert(id.toStdString());
    waiting_.push_back(Waiting{id, setup_.queueClock->wallTime(), std::nullopt, {}});
    answer(id, std::nullopt);
    return;
  }
  runOnWorker(
      this,
      [queue = queue_, deferred = deferred_] {
        const bool beforeStore = !deferred->attached();  // read first: a record made now may lack its owner
        return std::make_pair(queue->prepare(), beforeStore);
      },
      [this, answer = std::move(answer)](WorkerOutcome<std::pair<std::string, bool>> outcome) {
        if (!outcome.ok()) {
          qCWarning(queueLog).noquote() << "recording not reserved:" << QString::fromStdString(outcome.diagnosis());
          answer(std::nullopt, text(outcome.description()));
          return;
        }
        const QString id = text(outcome.value->first);
        if (outcome.value->second) unowned_.push_back(id);
        if (outcome.value->second && !preparing_) claimUnowned();
        answer(id, std::nullopt);
      });
}

void CloudModel::claimUnowned() {
  if (preparing_ || unowned_.empty() || !queue_) return;
  std::vector<std::string> ids;
  for (const QString& id : std::exchange(unowned_, {})) ids.push_back(id.toStdString());
  runOnWorker(
      this,
      [queue = queue_, ids] {
        for (const std::string& id : ids) {
          try {
            queue->claim(id);
          } catch (...) {  // it stays without owner: the user sends it like any such recording
            logSwallowed(queueLog(), QString::fromStdString("recording " + id + " not given its owner"),
                         "it stays without owner");
          }
        }
      },
      [this](WorkerOutcome<std::monostate>) { synchronize(); });
}

void CloudModel::reserveWaiting() {
  if (waiting_.empty()) return;
  if (!queue_) {  // nowhere to keep them: the recordings stay on the computer only
    for (Waiting& recording : std::exchange(waiting_, {})) {
      if (!recording.interrupted) continue;
      setLocalWarning(QString(queueNotSavedText));
      if (recording.done) recording.done();
    }
    return;
  }
  std::vector<std::pair<std::string, WallTime>> recordings;
  for (const Waiting& recording : waiting_) recordings.emplace_back(recording.id.toStdString(), recording.startedAt);
  runOnWorker(
      this,
      [queue = queue_, deferred = deferred_, recordings] {
        const bool beforeStore = !deferred->attached();
        for (const auto& [id, startedAt] : recordings) {
          try {
            queue->reserve(id, startedAt);
          } catch (...) {  // its finish shows that the queue could not take it
            logSwallowed(queueLog(), QString::fromStdString("recording " + id + " not reserved"),
                         "its finish reports it");
          }
        }
        return beforeStore;
      },
      [this](WorkerOutcome<bool> outcome) {
        const bool beforeStore = outcome.value.value_or(true);
        // Those that finished meanwhile are handed on now; the others finish the usual way.
        for (Waiting& recording : std::exchange(waiting_, {})) {
          if (beforeStore) unowned_.push_back(recording.id);
          if (recording.interrupted) finish(recording.id, *recording.interrupted, std::move(recording.done));
        }
        claimUnowned();
      });
}

// One turn of the loop: wait a tick, poll a pairing in progress, sync every tenth turn. The
// next wait starts when this turn's work is over, so turns never overlap or pile up. With no
// pairing to poll, only the sync has work: the turns up to it pass in one wait, not in nine
// empty wake-ups.
void CloudModel::scheduleTick() {
  const int turns = polling_ ? 1 : setup_.ticksPerSync - tickCount_ % setup_.ticksPerSync;
  turnsWaited_ = turns;
  timer_->start(setup_.tickMilliseconds * turns);
}

void CloudModel::startPolling() {
  polling_ = true;
  if (!timer_->isActive() || turnsWaited_ <= 1) return;
  // A long wait for the sync is running: the pairing is asked a tick from now, and the turns
  // that passed still count towards the sync.
  const int tick = std::max(1, setup_.tickMilliseconds);
  const int remaining = std::max(0, timer_->remainingTime());
  const int left = (remaining + tick - 1) / tick;
  tickCount_ += std::max(0, turnsWaited_ - std::max(left, 1));
  turnsWaited_ = 1;
  timer_->start(remaining % tick == 0 ? tick : remaining % tick);
}

void CloudModel::tick() {
  auto afterPoll = [this] {
    tickCount_ += std::max(1, std::exchange(turnsWaited_, 1));
    if (tickCount_ % setup_.ticksPerSync == 0) {
      synchronizeThen([this] { scheduleTick(); });
    } else {
      scheduleTick();
    }
  };
  if (polling_) {
    poll(afterPoll);
  } else {
    afterPoll();
  }
}

void CloudModel::readState(std::function<void()> then) {
  if (!cloud_) {
    if (then) then();
    return;
  }
  const std::uint64_t read = ++stateReads_;
  runOnWorker(
      this,
      [cloud = cloud_, queue = queue_] {
        State state;
        state.owner = cloud->owner();
        state.account = cloud->account();
        state.info = cloud->info();
        if (queue) {
          try {
            state.summary = queue->summary();
          } catch (...) {  // the previous summary stays
            logSwallowed(queueLog(), "queue summary not read", "the previous one stays");
          }
        }
        return state;
      },
      [this, read, then = std::move(then)](WorkerOutcome<State> outcome) {
        if (outcome.ok() && read > stateApplied_) {  // a read begun earlier never overwrites a later one
          stateApplied_ = read;
          applyState(*outcome.value);
        }
        if (then) then();
      });
}

void CloudModel::applyState(const State& state) {
  const bool connected = state.owner.has_value();
  if (!connected) setFreshRights(false);  // rights belong to a linked account
  if (connected != connected_) {
    connected_ = connected;
    qCDebug(cloudLog) << (connected ? "account: connected" : "account: not connected");
    emit connectedChanged();
  }
  const QString accountLabel = connected ? label(state.account, text(*state.owner)) : QString(notConnectedLabel);
  if (accountLabel != accountLabel_) {
    accountLabel_ = accountLabel;
    emit accountLabelChanged();
  }
  if (!(state.info == info_)) {
    info_ = state.info;
    emit infoChanged();
  }
  if (state.summary) setSummary(*state.summary);
}

void CloudModel::synchronize() { synchronizeThen({}); }

void CloudModel::synchronizeThen(std::function<void()> done) {
  if (syncing_ || !queue_) {
    if (done) done();
    return;
  }
  syncing_ = true;
  const std::uint64_t account = accountChange_;
  runOnWorker(
      this, [queue = queue_, keep = queueCloud_] { return queue->sync(); },
      [this, account, done = std::move(done)](WorkerOutcome<QueueSummary> outcome) {
        if (outcome.ok()) {
          setSummary(*outcome.value);
        } else if (account == accountChange_) {  // else it failed because the user unlinked meanwhile
          setFreshRights(false);
          qCDebug(queueLog).noquote() << "queue sync failed:" << text(outcome.diagnosis());
          setMessage(text(outcome.description()));
        }
        readState([this, account, ok = outcome.ok(), done] {
          if (ok && account == accountChange_) {  // rights read before an unlink are no one's now
            setFreshRights(connected_);
            if (connected_) setMessage(std::nullopt);
          }
          syncing_ = false;
          if (done) done();
        });
      });
}

void CloudModel::poll(std::function<void()> done) {
  if (busy_ || !cloud_) {
    done();
    return;
  }
  struct Answer {
    std::optional<PairPoll> reply;
    std::optional<std::string> failure;
    bool expiredAndReset = false;
  };
  const std::uint64_t attempt = pairingAttempt_;
  runOnWorker(
      this,
      [cloud = cloud_] {
        Answer answer;
        const std::optional<PendingPair> polled = cloud->pending();
        try {
          answer.reply = cloud->pollPair();
        } catch (const CloudFailure& failure) {
          answer.failure = failure.what();
          LogSink::line(log_category::cloud, LogLevel::warning, "pairing poll failed: " + currentErrorText());
          if (failure.code() == "PAIRING_EXPIRED" && polled) {
            try {  // only the pairing that was polled
              answer.expiredAndReset = cloud->resetPair(polled->operationId);
            } catch (...) {  // the pairing view stays as it was
              logSwallowed(cloudLog(), "expired pairing not reset", "the pairing view stays");
            }
          }
        } catch (const std::exception& failure) {
          answer.failure = failure.what();
          LogSink::line(log_category::cloud, LogLevel::warning, "pairing poll failed: " + currentErrorText());
        }
        return answer;
      },
      [this, attempt, done = std::move(done)](WorkerOutcome<Answer> outcome) {
        if (attempt != pairingAttempt_) {  // the user started over meanwhile
          done();
          return;
        }
        const Answer answer = outcome.value.value_or(Answer{});
        if (answer.failure) {
          setMessage(text(*answer.failure));
          polling_ = false;
          if (answer.expiredAndReset) clearPairingView();
        } else if (answer.reply && (answer.reply->state == "approved" || answer.reply->state == "redeemed") &&
                   answer.reply->ownerId) {
          const QString owner = text(*answer.reply->ownerId);
          setCandidate(owner, label(answer.reply->account, owner));
          polling_ = false;
        }
        done();
      });
}

void CloudModel::clearPairingView() {
  setPairing(std::nullopt, std::nullopt);
  setCandidate(std::nullopt, "");
  polling_ = false;
}

void CloudModel::connect() {
  if (busy_ || !cloud_) return;
  ++pairingAttempt_;
  setBusy(true);
  setMessage(std::nullopt);
  runOnWorker(
      this, [cloud = cloud_] { return cloud->beginPair(); },
      [this](WorkerOutcome<PairDescriptor> outcome) {
        if (outcome.ok()) {
          const auto url = parsedUrl(outcome.value->approvalUrl);
          setPairing(text(outcome.value->code), url);
          setCandidate(std::nullopt, candidateLabel_);
          startPolling();
          if (url) setup_.openUrl(*url);
        } else {
          setMessage(failureText("pairing start", outcome));
        }
        setBusy(false);
      });
}

void CloudModel::confirm() {
  if (busy_ || !cloud_ || !candidateOwner_) return;
  ++pairingAttempt_;
  ++accountChange_;
  setBusy(true);
  struct Answer {
    std::optional<std::string> failure;
    bool expired = false;
    bool pendingLeft = true;
  };
  runOnWorker(
      this,
      [cloud = cloud_, owner = candidateOwner_->toStdString()] {
        Answer answer;
        try {
          cloud->confirmAccount(owner);
        } catch (const CloudFailure& failure) {
          answer.failure = failure.what();
          LogSink::line(log_category::cloud, LogLevel::warning, "account confirmation failed: " + currentErrorText());
          answer.expired = failure.code() == "PAIRING_EXPIRED";
          if (answer.expired) answer.pendingLeft = cloud->pending().has_value();
        } catch (const std::exception& failure) {
          answer.failure = failure.what();
          LogSink::line(log_category::cloud, LogLevel::warning, "account confirmation failed: " + currentErrorText());
        }
        return answer;
      },
      [this](WorkerOutcome<Answer> outcome) {
        const Answer answer = outcome.value.value_or(Answer{});
        if (!answer.failure) {
          setCandidate(std::nullopt, candidateLabel_);
          setPairing(std::nullopt, std::nullopt);
          polling_ = false;
          setMessage(std::nullopt);
          readState([this] {
            synchronize();
            setBusy(false);
          });
          return;
        }
        setMessage(text(*answer.failure));
        if (answer.expired) {
          polling_ = false;
          if (!answer.pendingLeft) clearPairingView();
        }
        setBusy(false);
      });
}

void CloudModel::restartPair() {
  if (busy_ || !cloud_) return;
  ++pairingAttempt_;
  setBusy(true);
  runOnWorker(
      this,
      [cloud = cloud_] {
        // A pairing whose confirmation was sent is closed on the service, not just forgotten.
        const auto pending = cloud->pending();
        if (pending && pending->confirmedOwner) {
          cloud->settlePair();
        } else {
          cloud->resetPair();
        }
      },
      [this](WorkerOutcome<std::monostate> outcome) {
        if (outcome.ok()) {
          clearPairingView();
          setMessage(std::nullopt);
        } else {
          setMessage(failureText("pairing restart", outcome));
        }
        setBusy(false);
      });
}

void CloudModel::disconnect() {
  if (busy_ || !cloud_) return;
  ++pairingAttempt_;
  ++accountChange_;
  setBusy(true);
  runOnWorker(
      this, [cloud = cloud_] { cloud->disconnect(); },
      [this](WorkerOutcome<std::monostate> outcome) {
        if (!outcome.ok()) {
          setMessage(failureText("disconnect", outcome));
          setBusy(false);
          return;
        }
        setFreshRights(false);
        setMessage(std::nullopt);
        readState([this] { setBusy(false); });
      });
}

void CloudModel::adoptUnlinked() {
  if (busy_ || !cloud_ || !queue_) return;
  setBusy(true);
  runOnWorker(
      this,
      [cloud = cloud_, queue = queue_] {
        const auto owner = cloud->owner();
        if (!owner) return false;
        queue->adoptUnlinked(*owner);
        return true;
      },
      [this](WorkerOutcome<bool> outcome) {
        if (!outcome.ok()) {
          setMessage(failureText("sending the recordings without account", outcome));
          setBusy(false);
        } else if (*outcome.value) {
          synchronizeThen([this] { setBusy(false); });
        } else {
          setBusy(false);
        }
      });
}

void CloudModel::openLibrary() {
  if (openingLibrary_) return;
  setLibraryFailure(std::nullopt);
  if (!connected_) {
    if (!setup_.openUrl(QUrl(text(configuration_.origin + "/library/")))) setLibraryFailure(QString(browserFailedText));
    return;
  }
  if (!cloud_) {
    setLibraryFailure(QString(reconnectText));
    return;
  }
  openingLibrary_ = true;
  emit openingLibraryChanged();
  runOnWorker(
      this, [cloud = cloud_] { return cloud->libraryLink(); },
      [this](WorkerOutcome<std::string> outcome) {
        if (outcome.ok()) {
          if (!setup_.openUrl(QUrl(text(*outcome.value)))) setLibraryFailure(QString(browserFailedText));
        } else if (const auto failure = outcome.as<CloudFailure>(); failure && isCredentialFailure(failure->code())) {
          setLibraryFailure(QString(reconnectText));
        } else {
          setLibraryFailure(QString(libraryFailedText));
        }
        openingLibrary_ = false;
        emit openingLibraryChanged();
      });
}

void CloudModel::openBot() {
  if (!info_) return;
  if (const auto url = TelegramDestination::botChat(info_->libraryUrl, configuration_.telegramHost))
    setup_.openUrl(QUrl(text(url->text())));
}

void CloudModel::openTariff() {
  if (!info_) return;
  if (const auto url = parsedUrl(info_->tariffUrl)) setup_.openUrl(*url);
}

void CloudModel::finish(const QString& id, bool interrupted, std::function<void()> done) {
  for (Waiting& recording : waiting_) {
    if (recording.id != id) continue;
    // Handed over only once its record exists: a quit waits for that moment.
    recording.interrupted = interrupted;
    recording.done = std::move(done);
    return;
  }
  if (!queue_) {
    if (done) done();
    return;
  }
  runOnWorker(
      this,
      [queue = queue_, keep = queueCloud_, id = id.toStdString(), interrupted] { queue->finish(id, interrupted); },
      [this, id, done = std::move(done)](WorkerOutcome<std::monostate> outcome) {
        if (!outcome.ok()) {
          qCWarning(queueLog).noquote() << "recording" << id
                                        << "not finished in the queue:" << QString::fromStdString(outcome.diagnosis());
          setLocalWarning(QString(queueNotSavedText));
          if (done) done();
          return;
        }
        readState([this, done] {
          synchronize();  // upload at once when possible; the recorder does not wait for it
          if (done) done();
        });
      });
}

// Derived texts.

QString CloudModel::label(const std::optional<CloudAccount>& account, const QString& owner) {
  if (account && account->name) {
    const QString name = text(*account->name).trimmed();
    if (!name.isEmpty()) return name + " · " + owner;
  }
  if (account && account->username && !account->username->empty())
    return "@" + text(*account->username) + " · " + owner;
  return "Telegram · " + owner;
}

std::optional<QString> CloudModel::queueLabel() const { return queueLabel(summary_); }
QString CloudModel::tariffLabel() const { return tariffLabel(info_); }

std::optional<QString> CloudModel::queueLabel(const QueueSummary& summary) {
  if (summary.attention >= 1)
    return QString("Требуют проверки: %1. Откройте библиотеку или локальный файл.").arg(summary.attention);
  if (summary.otherOwner >= 1)
    return QString("Записи другого аккаунта: %1. Подключите прежний аккаунт для отправки.").arg(summary.otherOwner);
  if (summary.waiting >= 1)
    return QString("В очереди: %1. Отправятся при доступной сети и тарифе.").arg(summary.waiting);
  return std::nullopt;
}

QString CloudModel::tariffLabel(const std::optional<CloudInfo>& info) {
  if (!info || !info->rights) return "Тариф появится после подключения";
  const CloudRights& rights = *info->rights;
  if (rights.plan == "unlimited") {
    if (!rights.paidUntil || !CloudRights::representable(*rights.paidUntil)) return "Безлимит";
    const auto date = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(*rights.paidUntil), QTimeZone::utc()).date();
    return "Безлимит · до " + QLocale().toString(date, QLocale::ShortFormat);
  }
  const std::int64_t remaining = std::max<std::int64_t>(0, rights.remainingSeconds.value_or(0));
  return QString("Бесплатный · %1 мин %2 с").arg(remaining / 60).arg(remaining % 60);
}

// Setters: each announces a real change only.

void CloudModel::setBusy(bool value) {
  if (busy_ == value) return;
  busy_ = value;
  qCDebug(cloudLog) << (value ? "cloud: busy" : "cloud: idle");
  emit busyChanged();
}

void CloudModel::setMessage(const std::optional<QString>& value) {
  if (message_ == value) return;
  message_ = value;
  if (value) qCDebug(cloudLog) << "cloud message:" << *value;
  emit messageChanged();
}

void CloudModel::setLibraryFailure(const std::optional<QString>& value) {
  if (libraryFailure_ == value) return;
  libraryFailure_ = value;
  if (value) qCDebug(cloudLog) << "library link failed:" << *value;
  emit libraryFailureChanged();
}

void CloudModel::setLocalWarning(const std::optional<QString>& value) {
  if (localWarning_ == value) return;
  localWarning_ = value;
  if (value) qCDebug(queueLog) << "queue warning:" << *value;
  emit localWarningChanged();
}

void CloudModel::setPairing(const std::optional<QString>& code, const std::optional<QUrl>& approvalUrl) {
  if (code_ != code) {
    qCDebug(cloudLog) << (code ? "pairing: code shown" : "pairing: no code");  // never the code itself
    code_ = code;
    emit codeChanged();
  }
  if (approvalUrl_ != approvalUrl) {
    approvalUrl_ = approvalUrl;
    emit approvalUrlChanged();
  }
}

void CloudModel::setCandidate(const std::optional<QString>& owner, const QString& label) {
  if (candidateOwner_ != owner) {
    qCDebug(cloudLog) << (owner ? "pairing: an account to confirm" : "pairing: no account to confirm");
    candidateOwner_ = owner;
    emit candidateOwnerChanged();
  }
  if (candidateLabel_ != label) {
    candidateLabel_ = label;
    emit candidateLabelChanged();
  }
}

void CloudModel::setFreshRights(bool value) {
  if (freshRights_ == value) return;
  freshRights_ = value;
  emit freshRightsChanged();
}

void CloudModel::setSummary(const QueueSummary& value) {
  if (summary_ == value) return;
  summary_ = value;
  qCDebug(queueLog).nospace() << "queue: " << value.waiting << " waiting, " << value.attention << " need attention, "
                              << value.unlinked << " unlinked, " << value.otherOwner << " of another account"
                              << (value.message ? " (" + QString::fromStdString(*value.message) + ")" : QString());
  emit summaryChanged();
}

}  // namespace talvo
