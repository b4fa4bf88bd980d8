#include "app/shell/quit_controller.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>

#include "app/models/recorder_model.h"
#include "app/shell/quit_signals.h"

namespace talvo {

QuitController::QuitController(RecorderModel& model, Setup setup, QObject* parent)
    : QObject(parent), model_(model), setup_(std::move(setup)) {
  if (!setup_.exit) setup_.exit = [] { QCoreApplication::quit(); };
  if (!setup_.clock) setup_.clock = Clock::system();
  for (auto changed : {&RecorderModel::recordingChanged, &RecorderModel::startingChanged,
                       &RecorderModel::stoppingChanged, &RecorderModel::copyingChanged}) {
    connect(&model_, changed, this, &QuitController::captureChanged);
  }
  connect(&model_, &RecorderModel::handedToQueue, this, [this] { act(decision_.recordingFinal()); });
  copyWait_.setSingleShot(true);
  copyWait_.setInterval(setup_.copyWaitMs);
  connect(&copyWait_, &QTimer::timeout, this, [this] { act(decision_.copyWaitOver()); });
  if (setup_.catchSignals) {
    signals_ = new QuitSignals(this);
    connect(signals_, &QuitSignals::received, this, [this] { request(Cause::signal); });
  }
  // The session manager's Die arrives as a Quit event to the application. A session save
  // (commitDataRequest) is no reason to end: it comes for checkpoints too, and Qt does not say
  // which kind it is (Qt 6.4's xcb session manager, qxcbsessionmanager.cpp, keeps the
  // SaveYourself message's shutdown flag in a file-static that no public API returns).
  QCoreApplication::instance()->installEventFilter(this);
}

bool QuitController::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::Quit || watched != QCoreApplication::instance() || exiting_) return false;
  request(Cause::logout);
  return true;  // the decision ends the program when the recording is safe
}

void QuitController::request(Cause cause) {
  act(decision_.request(cause, capture(), setup_.clock->monotonicSeconds()));
}

QuitDecision::Capture QuitController::capture() const {
  if (model_.stopping()) return QuitDecision::Capture::stopping;
  if (model_.starting()) return QuitDecision::Capture::starting;
  if (model_.recording()) return QuitDecision::Capture::recording;
  if (model_.copying()) return QuitDecision::Capture::copying;
  return QuitDecision::Capture::idle;
}

void QuitController::captureChanged() {
  const QuitDecision::Phase phase = decision_.phase();
  if (phase != QuitDecision::Phase::waiting && phase != QuitDecision::Phase::copying) return;
  // Decide after the model has finished announcing this change.
  QTimer::singleShot(0, this, [this] { act(decision_.captureChanged(capture())); });
}

void QuitController::act(QuitDecision::Action action) {
  switch (action) {
    case QuitDecision::Action::stopThenQuit: {
      QPointer<QuitController> self(this);
      model_.stop(std::nullopt, [self] {
        if (self) self->act(self->decision_.stopFinished());
      });
      return;
    }
    case QuitDecision::Action::startCopyWait:
      copyWait_.start();
      return;
    case QuitDecision::Action::quitNow:
      copyWait_.stop();
      // From here a further signal ends the process the usual way, should the exit hang.
      delete signals_;
      signals_ = nullptr;
      emit quitting();
      exiting_ = true;
      setup_.exit();
      return;
    case QuitDecision::Action::none:
    case QuitDecision::Action::refuse:
    case QuitDecision::Action::wait:
      return;
  }
}

}  // namespace talvo
