#include "app/ui/meeting_reminder_panel.h"

#include <QPointer>

#include "app/ui/meeting_reminder_view.h"

namespace talvo {

MeetingReminderPanel::MeetingReminderPanel(Hooks hooks, std::chrono::milliseconds dismissAfter, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)) {
  dismissal_.setParent(this);
  dismissal_.setObjectName(QStringLiteral("dismissal"));
  dismissal_.setSingleShot(true);
  // A coarse timer may fire 5 % late: a second and a half on 30 s.
  dismissal_.setTimerType(Qt::PreciseTimer);
  dismissal_.setInterval(dismissAfter);
  connect(&dismissal_, &QTimer::timeout, this, [this] { close(); });
}

MeetingReminderPanel::~MeetingReminderPanel() { close(); }

void MeetingReminderPanel::show(MeetingApplication application) {
  if (hooks_.captureBusy && hooks_.captureBusy()) return;
  if (!hooks_.anchor || !hooks_.anchor()) return;
  close();
  if (hooks_.closeMainPanel) hooks_.closeMainPanel();
  QPointer<MeetingReminderPanel> self(this);
  // The buttons act after the click has been delivered: closing deletes the view they live in.
  auto later = [self] {
    QTimer::singleShot(0, self, [self] {
      if (self) self->close();
    });
  };
  auto record = [self] {
    QTimer::singleShot(0, self, [self] {
      if (self) self->accept();
    });
  };
  auto* view = new MeetingReminderView(application, later, record);
  panel_ = std::make_unique<AnchoredPanel>(view, hooks_.anchor);
  panel_->show(false);
  dismissal_.start();
}

void MeetingReminderPanel::close() {
  dismissal_.stop();
  if (!panel_) return;
  panel_->close();
  panel_.reset();
}

void MeetingReminderPanel::accept() {
  if (!panel_ || !panel_->isVisible()) {
    close();
    return;
  }
  const bool busy = hooks_.captureBusy && hooks_.captureBusy();
  close();
  if (busy) return;
  if (hooks_.openPanel) hooks_.openPanel();
  if (hooks_.startRecording) hooks_.startRecording();
}

}  // namespace talvo
