#pragma once
// Decides, from periodic samples of the processes using audio input, when a meeting application
// has begun a call and whether to remind the user, once per call ("episode"), to record it.
//
//   Idle ──meeting app seen──▶ Counting ──8 s of consecutive samples──▶ Handled
//     ▲                          │ app gone / sampling gap / no list        │
//     │                          ▼ (count restarts)                         │
//     └──────────── 120 s of consecutive samples without a meeting ◀────────┘
//
// "Handled" is persisted, so a restart during a call stays quiet, and so is the time of the
// last reminder, which keeps reminders at least 300 s of wall-clock time apart. The engine only
// reminds once the record saying so is on disk; when the record cannot be read or written it
// stays quiet and reports `persistenceFailed`. It never starts a recording by itself.
//
// Not thread-safe: one thread (the interface thread) drives it. The clock, store and notifier
// are borrowed and must outlive the engine.
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "core/system/clock.h"
#include "reminders/meeting_application.h"
#include "reminders/meeting_catalog.h"
#include "reminders/meeting_process.h"
#include "reminders/reminder_authorization.h"
#include "reminders/reminder_notifier.h"
#include "reminders/reminder_quiet_state.h"
#include "reminders/reminder_quiet_store.h"

namespace talvo {

class MeetingReminderEngine {
 public:
  static constexpr double onsetDelay = 8.0;         // microphone use needed before a reminder
  static constexpr double maximumSampleGap = 5.0;   // a longer gap (e.g. sleep) restarts counting
  static constexpr double idlePeriod = 120.0;       // quiet time that ends an episode
  static constexpr double reminderSpacing = 300.0;  // wall-clock seconds between two reminders

  // Loads the quiet record at once; a record that cannot be trusted starts the engine handled.
  MeetingReminderEngine(const Clock& clock, ReminderQuietStore& store, ReminderNotifier& notifier,
                        MeetingCatalog catalog, std::int32_t ownPID);

  // One decision step. `processes` is none when the platform could not list them.
  // `captureBusy`: a recording is starting, running or stopping.
  void sample(const std::optional<std::vector<MeetingProcess>>& processes, bool enabled,
              const std::set<MeetingApplication>& disabled, ReminderAuthorization authorization, bool captureBusy);

  // The user began recording: the current episode needs no reminder.
  void captureStarted();

  const ReminderQuietState& quiet() const noexcept { return quiet_; }
  // The last load or save of the quiet record failed.
  bool persistenceFailed() const noexcept { return persistenceFailed_; }

  // Counting state, for inspection.
  std::optional<double> onset() const noexcept { return onset_; }
  std::optional<double> idleSince() const noexcept { return idleSince_; }
  std::optional<double> lastSample() const noexcept { return lastSample_; }

 private:
  void markHandled();
  bool save();

  ReminderQuietState quiet_;
  bool persistenceFailed_ = false;
  const Clock& clock_;
  ReminderQuietStore& store_;
  ReminderNotifier& notifier_;
  MeetingCatalog catalog_;
  std::int32_t ownPID_;
  std::optional<double> onset_;
  std::optional<double> idleSince_;
  std::optional<double> lastSample_;
};

}  // namespace talvo
