#pragma once
// Shows the meeting reminder under the tray icon without taking the keyboard. The reminder
// never coexists with the main panel, closes by itself after 30 seconds, on "Позже", and when
// capture becomes busy; "Начать запись" opens the main panel and starts recording, but only
// when capture was not already busy at that moment.
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "app/reminders/meeting_reminder_presenter.h"
#include "app/ui/anchored_panel.h"

namespace talvo {

class MeetingReminderPanel : public QObject, public MeetingReminderPresenter {
  Q_OBJECT
 public:
  struct Hooks {
    std::function<bool()> captureBusy;
    AnchoredPanel::AnchorSource anchor;
    std::function<void()> closeMainPanel;
    std::function<void()> openPanel;
    std::function<void()> startRecording;
  };
  static constexpr std::chrono::milliseconds defaultDismissal{30'000};

  explicit MeetingReminderPanel(Hooks hooks, std::chrono::milliseconds dismissAfter = defaultDismissal,
                                QObject* parent = nullptr);
  ~MeetingReminderPanel() override;

  void show(MeetingApplication application) override;
  void close() override;
  // The record button.
  void accept();

  // The showing reminder's panel, for tests and the shell; null when none shows.
  AnchoredPanel* panel() const { return panel_.get(); }

 private:
  Hooks hooks_;
  std::unique_ptr<AnchoredPanel> panel_;
  QTimer dismissal_;
};

}  // namespace talvo
