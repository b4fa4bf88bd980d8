#pragma once
// Carries out the quit decision (core/program/quit_decision.h) for the running program: every way of
// quitting comes here — "Выйти", `talvo --quit`, SIGTERM, SIGINT and SIGHUP, the session manager's Die (Qt's Quit
// event), the updater's relaunch — and the program ends only when the recording it had running
// is finalised and handed to the queue. The copy into the user's folder gets a bounded wait
// after that: a network folder that stopped answering must not keep the program up for ever.
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

#include "core/system/clock.h"
#include "core/program/quit_decision.h"

namespace talvo {

class QuitSignals;
class RecorderModel;

class QuitController : public QObject {
  Q_OBJECT

 public:
  using Cause = QuitDecision::Cause;

  struct Setup {
    std::function<void()> exit;  // default: the event loop ends
    bool catchSignals = true;    // SIGTERM, SIGINT and SIGHUP come here
    // How long a quit waits for the copy into the user's folder once the recording is final
    // (a network folder may hang for minutes).
    int copyWaitMs = 10000;
    // Its monotonic reading tells two requests of one intent apart (default: the system's).
    std::shared_ptr<const Clock> clock;
  };

  QuitController(RecorderModel& model, Setup setup, QObject* parent = nullptr);

  void request(Cause cause);
  bool finished() const { return decision_.phase() == QuitDecision::Phase::finished; }

 signals:
  // The decision let the program end (the exit follows at once).
  void quitting();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QuitDecision::Capture capture() const;
  void act(QuitDecision::Action action);
  void captureChanged();

  RecorderModel& model_;
  Setup setup_;
  QuitDecision decision_;
  QuitSignals* signals_ = nullptr;
  QTimer copyWait_;
  bool exiting_ = false;  // our own Quit event is on its way
};

}  // namespace talvo
