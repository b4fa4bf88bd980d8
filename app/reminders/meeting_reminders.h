#pragma once
// The reminder model: every 2 s it asks the sound server, on a worker thread of its own, which
// processes are recording from the microphone (or, when the server has told of no change since,
// takes the last answer again without asking), hands the answer to the reminder engine on the
// interface thread, and publishes one status line for the capture panel. When the engine decides
// to remind, the presenter (the reminder panel under the tray icon) shows it.
//
// At most one query is in flight: a slow server makes the ticks in between do nothing, and the
// engine sees the gap. Any failure of a query makes that sample absent, never partial.
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/reminders/audio_input_process_source.h"
#include "reminders/meeting_catalog.h"
#include "reminders/meeting_reminder_engine.h"
#include "reminders/reminder_notifier.h"
#include "reminders/reminder_quiet_file.h"

class QSettings;

namespace talvo {

class MeetingReminderPresenter;

class MeetingReminders final : public QObject, public ReminderNotifier {
  Q_OBJECT
  Q_PROPERTY(QString detectorMessage READ detectorMessage NOTIFY detectorMessageChanged)

 public:
  static constexpr int pollIntervalMs = 2000;
  static constexpr int teardownWaitMs = 2000;  // for a query still running at exit
  static const QString readyMessage;
  static const QString unavailableMessage;
  static const QString persistenceFailedMessage;

  // `directory`: the program's data folder (the quiet record lives there). `preview`: an inert
  // model for design-time views — no engine, no settings written, never polls. `source` and
  // `clock` default to the sound server and the system clocks.
  MeetingReminders(const std::string& directory, QSettings& defaults, bool preview,
                   std::unique_ptr<AudioInputProcessSource> source = nullptr,
                   std::shared_ptr<const Clock> clock = nullptr, QObject* parent = nullptr);
  ~MeetingReminders() override;

  // Starts polling (once; later calls do nothing). `captureBusy` answers whether a recording is
  // starting, running or stopping, or anything else forbids a new one; `presenter` shows the
  // reminder and must outlive this object.
  void start(std::function<bool()> captureBusy, MeetingReminderPresenter& presenter);

  // The capture state changed: a busy capture settles the current episode and closes a reminder.
  void captureChanged();

  QString detectorMessage() const { return detectorMessage_; }

  // ReminderNotifier: the engine decided to remind.
  void notify(MeetingApplication application) override;

  // One poll now (the timer calls this; tests call it directly).
  void poll();
  // Tests that step polls by hand keep the timer out of the way (before start()).
  void setPollInterval(int milliseconds) { pollInterval_ = milliseconds; }

  // The engine, for inspection (none in preview).
  const MeetingReminderEngine* engine() const noexcept { return engine_.get(); }

  // The identity the catalog matches for a process: its sandbox application id when the catalog
  // knows it, else its executable name.
  static MeetingProcess meetingProcess(const AudioInputProcess& process, const MeetingCatalog& catalog);

 signals:
  void detectorMessageChanged();
  // A poll's result has been handed to the engine (for tests and benchmarks).
  void polled();

 private:
  void sampled(std::optional<std::vector<AudioInputProcess>> processes);
  bool busy() const;

  QString detectorMessage_;
  // Owned; left to the process on a teardown whose wait ran out (a query that hangs).
  QThreadPool* metadataQueue_ = new QThreadPool;
  QTimer* timer_ = nullptr;
  bool polling_ = false;
  int pollInterval_ = pollIntervalMs;
  bool lastSampleRead_ = true;                                   // whether the last query read the processes
  std::optional<std::vector<AudioInputProcess>> lastProcesses_;  // what it read
  std::shared_ptr<AudioInputProcessSource> source_;
  std::shared_ptr<const Clock> clock_;
  std::unique_ptr<ReminderQuietFile> store_;
  MeetingCatalog catalog_;
  std::unique_ptr<MeetingReminderEngine> engine_;
  std::function<bool()> captureBusy_ = [] { return false; };
  MeetingReminderPresenter* prompt_ = nullptr;
};

}  // namespace talvo
