#pragma once

#include "reminders/meeting_application.h"

namespace talvo {

// Where MeetingReminders shows its reminder. The model decides when; the interface (the reminder
// panel under the tray icon) decides how, so the model never depends on widgets.
class MeetingReminderPresenter {
 public:
  virtual ~MeetingReminderPresenter() = default;
  // Shows the reminder for this application, replacing one already showing. Does nothing while
  // capture is busy or when there is nowhere to anchor the panel.
  virtual void show(MeetingApplication application) = 0;
  // Closes the reminder if one is showing.
  virtual void close() = 0;
};

}  // namespace talvo
