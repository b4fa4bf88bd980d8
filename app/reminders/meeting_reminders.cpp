#include "app/reminders/meeting_reminders.h"

#include <unistd.h>

#include <QFuture>
#include <QPointer>
#include <QSettings>
#include <QStringList>
#include <QtConcurrent/QtConcurrentRun>
#include <utility>

#include "app/log_categories.h"
#include "app/reminders/meeting_reminder_presenter.h"
#include "app/reminders/pulse_meeting_metadata.h"

namespace talvo {

const QString MeetingReminders::readyMessage =
    QStringLiteral("Признак созвона — использование микрофона; запись начинается только по нажатию.");
const QString MeetingReminders::unavailableMessage =
    QStringLiteral("Метаданные аудиопроцессов недоступны. Ручная запись работает отдельно.");
const QString MeetingReminders::persistenceFailedMessage =
    QStringLiteral("Напоминания приостановлены: не удалось сохранить защиту от повторов.");

MeetingReminders::MeetingReminders(const std::string& directory, QSettings& defaults, bool preview,
                                   std::unique_ptr<AudioInputProcessSource> source, std::shared_ptr<const Clock> clock,
                                   QObject* parent)
    : QObject(parent), detectorMessage_(readyMessage) {
  // One worker: queries never overlap and run in order.
  metadataQueue_->setMaxThreadCount(1);
  metadataQueue_->setObjectName(QStringLiteral("pro.talvo.meeting-metadata"));
  if (preview) return;
  // Reminders are always on and no application is excluded; written on every launch where a
  // value differs (an unchanged write would still rewrite and flush the file at start).
  const QString enabled = QStringLiteral("meetingRemindersEnabled");
  const QString excluded = QStringLiteral("meetingReminderDisabledApplications");
  const QVariant stored = defaults.value(enabled);
  if (!stored.isValid() || stored.toString() != QLatin1String("true")) defaults.setValue(enabled, true);
  if (!defaults.contains(excluded) || !defaults.value(excluded).toStringList().isEmpty()) {
    defaults.setValue(excluded, QStringList());
  }
  source_ = source ? std::move(source) : std::make_unique<PulseMeetingMetadata>();
  clock_ = clock ? std::move(clock) : Clock::system();
  std::string folder = directory;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  store_ = std::make_unique<ReminderQuietFile>(folder + ReminderQuietFile::fileName);
  catalog_.applications = MeetingCatalog::knownApplications();
  engine_ =
      std::make_unique<MeetingReminderEngine>(*clock_, *store_, *this, catalog_, static_cast<std::int32_t>(getpid()));
}

MeetingReminders::~MeetingReminders() {
  if (timer_ != nullptr) timer_->stop();
  // A query still running finishes against the shared source; its result is dropped. The wait
  // is bounded: a sound server that stopped answering must not hold the program's exit.
  if (!metadataQueue_->waitForDone(teardownWaitMs)) {
    qCWarning(remindersLog) << "teardown: audio process query still running after" << teardownWaitMs
                            << "ms; left to the process's end";
    return;  // the pool is not destroyed: its destructor would wait without bound
  }
  delete metadataQueue_;
}

void MeetingReminders::start(std::function<bool()> captureBusy, MeetingReminderPresenter& presenter) {
  if (!engine_ || timer_ != nullptr) return;
  captureBusy_ = std::move(captureBusy);
  prompt_ = &presenter;
  timer_ = new QTimer(this);
  timer_->setInterval(pollInterval_);
  // A coarse timer lets the system batch this wake-up with others (±5 %, within the 0.4 s allowed).
  timer_->setTimerType(Qt::CoarseTimer);
  connect(timer_, &QTimer::timeout, this, &MeetingReminders::poll);
  timer_->start();
}

void MeetingReminders::poll() {
  if (polling_ || !source_) return;
  polling_ = true;
  if (lastProcesses_ && !source_->mayHaveChanged()) {
    // Nothing changed at the server since the last list: the same sample, without waking the
    // worker and the server for it.
    QMetaObject::invokeMethod(
        this, [this, processes = lastProcesses_]() mutable { sampled(std::move(processes)); }, Qt::QueuedConnection);
    return;
  }
  std::shared_ptr<AudioInputProcessSource> source = source_;
  QtConcurrent::run(metadataQueue_,
                    [source, failedBefore = !lastSampleRead_]() -> std::optional<std::vector<AudioInputProcess>> {
                      try {
                        return source->snapshot();
                      } catch (...) {
                        // Once per outage, not once per poll.
                        if (!failedBefore)
                          logSwallowed(remindersLog(), "audio processes not read", "no meeting counted until they are");
                        return std::nullopt;
                      }
                    })
      .then(this, [this](std::optional<std::vector<AudioInputProcess>> processes) {
        // A continuation attached to a future that has already finished runs at once, inside
        // poll(); the queued hop makes the sample always arrive later, from the event loop.
        QMetaObject::invokeMethod(
            this, [this, processes = std::move(processes)]() mutable { sampled(std::move(processes)); },
            Qt::QueuedConnection);
      });
}

MeetingProcess MeetingReminders::meetingProcess(const AudioInputProcess& process, const MeetingCatalog& catalog) {
  MeetingProcess result;
  result.pid = process.pid;
  result.runningInput = true;
  if (!process.applicationId.empty() && catalog.applications.contains(process.applicationId)) {
    result.executableOrAppId = process.applicationId;
  } else if (!process.binary.empty()) {
    result.executableOrAppId = process.binary;
  } else if (!process.applicationId.empty()) {
    result.executableOrAppId = process.applicationId;
  }
  return result;
}

void MeetingReminders::sampled(std::optional<std::vector<AudioInputProcess>> processes) {
  polling_ = false;
  if (processes && !lastSampleRead_) qCDebug(remindersLog) << "audio processes readable again";
  lastSampleRead_ = processes.has_value();
  lastProcesses_ = processes;
  if (engine_) {
    std::optional<std::vector<MeetingProcess>> sample;
    if (processes) {
      sample.emplace();
      for (const AudioInputProcess& process : *processes) sample->push_back(meetingProcess(process, catalog_));
    }
    engine_->sample(sample, true, {}, ReminderAuthorization::allowed, busy());
  }
  QString text = readyMessage;
  if (engine_ && engine_->persistenceFailed()) {
    text = persistenceFailedMessage;
  } else if (!processes) {
    text = unavailableMessage;
  }
  if (text != detectorMessage_) {
    qCDebug(remindersLog) << "reminder status:" << text;
    detectorMessage_ = text;
    emit detectorMessageChanged();
  }
  emit polled();
}

bool MeetingReminders::busy() const { return captureBusy_ ? captureBusy_() : true; }

void MeetingReminders::notify(MeetingApplication application) {
  // The engine calls this from inside sample(): show the panel after it has returned.
  QPointer<MeetingReminders> self(this);
  QMetaObject::invokeMethod(
      this,
      [self, application] {
        if (self && self->prompt_ != nullptr && !self->busy()) {
          qCDebug(remindersLog) << "reminder panel shown";
          self->prompt_->show(application);
        } else {
          qCDebug(remindersLog) << "reminder dropped: recording meanwhile or no panel";
        }
      },
      Qt::QueuedConnection);
}

void MeetingReminders::captureChanged() {
  if (!busy()) return;
  qCDebug(remindersLog) << "recording busy: reminder closed";
  if (engine_) engine_->captureStarted();
  if (prompt_ != nullptr) prompt_->close();
}

}  // namespace talvo
