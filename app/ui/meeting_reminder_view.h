#pragma once
// The reminder's content: 360 wide, the brand row, "Не забудьте начать запись" with a line on
// which application took the microphone, and the buttons "Позже" and "Начать запись".
#include <QWidget>
#include <functional>

#include "reminders/meeting_application.h"

class QPushButton;

namespace talvo {

class MeetingReminderView : public QWidget {
  Q_OBJECT
 public:
  MeetingReminderView(MeetingApplication application, std::function<void()> later, std::function<void()> record,
                      QWidget* parent = nullptr);

  // "Похоже, начался созвон в Zoom.", "В Chromium используется микрофон.", ...
  static QString detailText(MeetingApplication application);
};

}  // namespace talvo
