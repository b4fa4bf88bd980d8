#pragma once
// Where the reminder engine keeps its quiet record. Both operations throw on failure; the engine
// turns a failure into "reminders suspended" rather than risk a repeated reminder.
#include <optional>

#include "reminders/reminder_quiet_state.h"

namespace talvo {

class ReminderQuietStore {
 public:
  virtual ~ReminderQuietStore() = default;
  // None when no record has been stored yet.
  virtual std::optional<ReminderQuietState> load() = 0;
  virtual void save(const ReminderQuietState& state) = 0;
};

}  // namespace talvo
