#include "reminders/meeting_reminder_engine.h"

#include <cmath>
#include <string>

#include "core/system/log_sink.h"

namespace talvo {

MeetingReminderEngine::MeetingReminderEngine(const Clock& clock, ReminderQuietStore& store, ReminderNotifier& notifier,
                                             MeetingCatalog catalog, std::int32_t ownPID)
    : clock_(clock), store_(store), notifier_(notifier), catalog_(std::move(catalog)), ownPID_(ownPID) {
  try {
    std::optional<ReminderQuietState> loaded = store_.load();
    if (!loaded) {
      quiet_ = ReminderQuietState(false, std::nullopt);
    } else if (loaded->trusted()) {
      quiet_ = *loaded;
    } else {
      quiet_ = ReminderQuietState(true, std::nullopt);
      persistenceFailed_ = true;
      LogSink::line(log_category::reminders, LogLevel::debug, "quiet state not trusted: quiet until the next episode");
    }
  } catch (...) {
    // Better to miss one reminder than to repeat one we cannot prove was not shown.
    logSwallowed(log_category::reminders, "quiet state unreadable", "quiet until the next episode");
    quiet_ = ReminderQuietState(true, std::nullopt);
    persistenceFailed_ = true;
  }
}

bool MeetingReminderEngine::save() {
  try {
    store_.save(quiet_);
    persistenceFailed_ = false;
  } catch (...) {
    logSwallowed(log_category::reminders, "quiet state not saved", "no reminder until it saves");
    persistenceFailed_ = true;
  }
  return !persistenceFailed_;
}

void MeetingReminderEngine::markHandled() {
  LogSink::line(log_category::reminders, LogLevel::debug, "meeting episode handled: no reminder");
  quiet_ = ReminderQuietState(true, quiet_.lastNotificationAt);
  save();
}

void MeetingReminderEngine::captureStarted() {
  if (!quiet_.episodeHandled) markHandled();
}

void MeetingReminderEngine::sample(const std::optional<std::vector<MeetingProcess>>& processes, bool enabled,
                                   const std::set<MeetingApplication>& disabled, ReminderAuthorization authorization,
                                   bool captureBusy) {
  const double now = clock_.bootSeconds();
  if (!std::isfinite(now)) return;

  const std::optional<double> previous = lastSample_;
  lastSample_ = now;
  if (previous) {
    const double step = now - *previous;
    // NaN fails every comparison, so test for the good range and restart on anything else.
    if (!(step >= 0 && step <= maximumSampleGap)) {
      onset_.reset();
      idleSince_.reset();
    }
  }

  if (!processes) {
    onset_.reset();
    idleSince_.reset();
    return;
  }

  std::set<MeetingApplication> active;
  for (const MeetingProcess& process : *processes) {
    if (auto application = catalog_.application(process, ownPID_); application && !disabled.contains(*application))
      active.insert(*application);
  }

  if (captureBusy) {
    if (!quiet_.episodeHandled) markHandled();
    onset_.reset();
    idleSince_.reset();
    return;
  }

  if (active.empty()) {
    onset_.reset();
    if (!idleSince_) {
      idleSince_ = now;
      return;
    }
    if (now - *idleSince_ < idlePeriod) return;
    if (quiet_.episodeHandled) {
      LogSink::line(log_category::reminders, LogLevel::debug, "meeting episode over: reminders armed");
      quiet_ = ReminderQuietState(false, quiet_.lastNotificationAt);
      save();
    }
    return;
  }

  MeetingApplication application = *active.begin();  // the enumeration's order is the priority
  idleSince_.reset();
  if (!onset_) onset_ = now;

  if (!enabled) {
    // A call that began while reminders were off is not reminded of later in the same episode.
    if (!quiet_.episodeHandled) markHandled();
    return;
  }
  if (quiet_.episodeHandled) return;
  if (now - *onset_ < onsetDelay) return;
  if (authorization != ReminderAuthorization::allowed) {
    markHandled();
    return;
  }

  const double wall = clock_.wallSeconds();
  if (!std::isfinite(wall) || wall < 0) return;  // the next sample tries again

  if (quiet_.lastNotificationAt) {
    const double since = wall - *quiet_.lastNotificationAt;
    if (since < reminderSpacing) {
      // A last reminder "in the future" means the wall clock was set back. Counting the spacing
      // from now keeps reminders apart without silencing them until the clock catches up.
      std::optional<double> last = quiet_.lastNotificationAt;
      if (since < 0) last = wall;
      quiet_ = ReminderQuietState(true, last);
      save();
      return;
    }
  }

  quiet_ = ReminderQuietState(true, wall);
  if (!save()) return;  // remind only once the record that prevents a repeat is durable
  LogSink::line(log_category::reminders, LogLevel::debug, "reminder for " + std::string(rawValue(application)));
  notifier_.notify(application);
}

}  // namespace talvo
