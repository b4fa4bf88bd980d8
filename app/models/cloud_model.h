#pragma once
// The account and the upload queue as the interface sees them. Owns the cloud client and the
// upload queue, restores state at start-up, polls a pairing in progress every 3 s, syncs the
// queue every 30 s, and runs the panel's account commands. Every failure ends as a Russian text
// in `message`, `localWarning` or `libraryFailure`.
//
// Lives on the main thread. Every call into DesktopCloud or DesktopUploadQueue runs on a worker
// (QtConcurrent); its result comes back through a continuation bound to this object, so a
// destroyed model receives nothing. The flags `busy`, `syncing` and `openingLibrary` keep each
// kind of work single; the lifecycle tick is a QTimer, so ticks missed in a suspend do not
// stack up.
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include "core/system/clock.h"
#include "app/models/url_opener.h"
#include "cloud/cloud_vault.h"
#include "cloud/desktop_upload_queue.h"
#include "cloud/device_vault_store.h"
#include "core/values/internet_date_time.h"
#include "core/program/service_configuration.h"

namespace talvo {

class DeferredQueueCloud;
class DesktopCloud;
class DesktopHTTPTransport;
class QueueCloud;

class CloudModel : public QObject {
  Q_OBJECT

 public:
  // What the model is built on; the defaults are the production ones.
  struct Setup {
    // The vault store (default: the Secret Service item of the product). May throw: the model
    // then runs without cloud client and queue.
    std::function<std::shared_ptr<DeviceVaultStore>()> store;
    // Default: ServiceConfiguration::production() with the bounded libcurl transport.
    std::optional<ServiceConfiguration> configuration;
    std::shared_ptr<DesktopHTTPTransport> transport;
    UrlOpener openUrl;                        // default: QDesktopServices::openUrl
    std::shared_ptr<const Clock> queueClock;  // default: the system clock
    int tickMilliseconds = 3000;              // the lifecycle tick
    int ticksPerSync = 10;
  };

  static constexpr const char* keyUnavailableText =
      "Ключ устройства недоступен. Доступна только локальная запись; перезапустите приложение после "
      "разблокировки связки ключей.";
  static constexpr const char* recoveryFailedText = "Не удалось восстановить очередь. Локальные файлы сохранены.";
  static constexpr const char* queueNotSavedText =
      "Запись осталась на компьютере, но очередь не сохранена. Проверьте локальный файл.";
  static constexpr const char* browserFailedText = "Не удалось открыть браузер. Попробуйте ещё раз.";
  static constexpr const char* reconnectText = "Подключите Telegram заново, чтобы открыть библиотеку.";
  static constexpr const char* libraryFailedText =
      "Не удалось открыть библиотеку. Проверьте интернет и попробуйте ещё раз.";
  static constexpr const char* notConnectedLabel = "Telegram не подключён";

  // `directory`: the recordings directory (also the queue's). Starts the lifecycle at once.
  explicit CloudModel(QString directory, QObject* parent = nullptr);
  CloudModel(QString directory, Setup setup, QObject* parent = nullptr);
  ~CloudModel() override;

  // Published state.
  bool preparing() const { return preparing_; }
  bool connected() const { return connected_; }
  QString accountLabel() const { return accountLabel_; }
  std::optional<QString> code() const { return code_; }
  std::optional<QUrl> approvalUrl() const { return approvalUrl_; }
  std::optional<QString> candidateOwner() const { return candidateOwner_; }
  QString candidateLabel() const { return candidateLabel_; }
  std::optional<CloudInfo> info() const { return info_; }
  bool freshRights() const { return freshRights_; }
  QueueSummary summary() const { return summary_; }
  std::optional<QString> message() const { return message_; }
  std::optional<QString> localWarning() const { return localWarning_; }
  bool busy() const { return busy_; }
  bool openingLibrary() const { return openingLibrary_; }
  std::optional<QString> libraryFailure() const { return libraryFailure_; }

  // Derived texts (change with `summary` and `info`).
  std::optional<QString> queueLabel() const;
  QString tariffLabel() const;
  static QString label(const std::optional<CloudAccount>& account, const QString& owner);
  static std::optional<QString> queueLabel(const QueueSummary& summary);
  static QString tariffLabel(const std::optional<CloudInfo>& info);

  // The queue (none until the recordings directory has been read at start, and never without one).
  std::shared_ptr<DesktopUploadQueue> queue() const { return queue_; }
  bool syncing() const { return syncing_; }
  bool polling() const { return polling_; }

  // Commands of the panel; each returns at once.
  void connect();
  void confirm();
  void restartPair();
  void disconnect();
  void adoptUnlinked();
  void openLibrary();
  void openBot();
  void openTariff();

  // A new recording's id and its "capturing" record. The record never waits for the keyring:
  // made before the account store answered, it gets its owner once it does. In the moment
  // before the queue has read the directory at start, the id is noted and its record follows
  // as soon as the queue is there. `answer` (main thread) gets the id, or the failure's text.
  using Reserved = std::function<void(std::optional<QString> id, std::optional<QString> failure)>;
  void reserve(Reserved answer);
  // A finished recording (or a reserved one that failed to start) for the queue; `done` runs on
  // the main thread once its record is final (or could not be saved: `localWarning` says so).
  void finish(const QString& id, bool interrupted, std::function<void()> done = {});
  void synchronize();

 signals:
  void preparingChanged();
  void connectedChanged();
  void accountLabelChanged();
  void codeChanged();
  void approvalUrlChanged();
  void candidateOwnerChanged();
  void candidateLabelChanged();
  void infoChanged();  // also changes tariffLabel
  void freshRightsChanged();
  void summaryChanged();  // also changes queueLabel
  void messageChanged();
  void localWarningChanged();
  void busyChanged();
  void openingLibraryChanged();
  void libraryFailureChanged();

 private:
  struct State;
  struct Client;
  struct InFlight;
  struct Waiting {
    QString id;
    WallTime startedAt;
    std::optional<bool> interrupted;  // set once it finished
    std::function<void()> done;       // of its finish
  };
  void queueOpened(std::shared_ptr<DesktopUploadQueue> queue, bool recovered, std::optional<QueueSummary> summary);
  void openStore();
  void started(std::shared_ptr<Client> client, const State& state);
  void reserveWaiting();
  void claimUnowned();
  void scheduleTick();
  void startPolling();
  void tick();
  void readState(std::function<void()> then = {});
  void applyState(const State& state);
  void synchronizeThen(std::function<void()> done);
  void poll(std::function<void()> done);
  void clearPairingView();
  void setBusy(bool value);
  void setMessage(const std::optional<QString>& value);
  void setLibraryFailure(const std::optional<QString>& value);
  void setLocalWarning(const std::optional<QString>& value);
  void setPairing(const std::optional<QString>& code, const std::optional<QUrl>& approvalUrl);
  void setCandidate(const std::optional<QString>& owner, const QString& label);
  void setFreshRights(bool value);
  void setSummary(const QueueSummary& value);

  bool preparing_ = true;
  bool connected_ = false;
  QString accountLabel_ = notConnectedLabel;
  std::optional<QString> code_;
  std::optional<QUrl> approvalUrl_;
  std::optional<QString> candidateOwner_;
  QString candidateLabel_;
  std::optional<CloudInfo> info_;
  bool freshRights_ = false;
  QueueSummary summary_;
  std::optional<QString> message_;
  std::optional<QString> localWarning_;
  bool busy_ = false;
  bool openingLibrary_ = false;
  std::optional<QString> libraryFailure_;

  bool polling_ = false;
  bool syncing_ = false;
  int tickCount_ = 0;
  int turnsWaited_ = 1;  // turns the running wait stands for
  // Answers that come back after the user acted meanwhile belong to what was before: a poll of
  // an earlier pairing attempt, a sync begun before the account changed, an earlier state read.
  std::uint64_t pairingAttempt_ = 0;
  std::uint64_t accountChange_ = 0;
  std::uint64_t stateReads_ = 0;
  std::uint64_t stateApplied_ = 0;
  std::vector<Waiting> waiting_;  // recordings begun before the queue was there
  std::vector<QString> unowned_;  // records made before the account store answered
  bool queueRead_ = false;        // the start's recovery is over (queue_ may still be none)
  Setup setup_;
  ServiceConfiguration configuration_;
  std::shared_ptr<InFlight> inFlight_;
  std::shared_ptr<DeferredQueueCloud> deferred_;
  std::shared_ptr<DesktopCloud> cloud_;
  std::shared_ptr<QueueCloud> queueCloud_;
  std::shared_ptr<DesktopUploadQueue> queue_;
  QTimer* timer_ = nullptr;
};

}  // namespace talvo
