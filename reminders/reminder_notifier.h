#pragma once
// Where the reminder engine sends its decision to remind. The engine calls it at most once per
// meeting episode, synchronously, from the thread that drives the engine.
#include "reminders/meeting_application.h"

namespace talvo {

class ReminderNotifier {
 public:
  virtual ~ReminderNotifier() = default;
  virtual void notify(MeetingApplication application) = 0;
};

}  // namespace talvo
