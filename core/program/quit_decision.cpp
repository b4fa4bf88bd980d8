#include "core/program/quit_decision.h"

namespace talvo {

bool QuitDecision::sameIntent(Cause cause, double now) {
  const bool automatic = cause == Cause::signal || cause == Cause::logout;
  const bool same = automatic && automatic_ && now - lastAt_ < sameIntentSeconds && now >= lastAt_;
  automatic_ = automatic;
  lastAt_ = now;
  return same;
}

QuitDecision::Action QuitDecision::request(Cause cause, Capture capture, double now) {
  if (sameIntent(cause, now) && phase_ != Phase::none) return Action::none;
  switch (phase_) {
    case Phase::none:
      return decide(cause, capture);
    case Phase::waiting:
      // The one that cannot be refused wins when the capture settles; a second request will
      // not wait for the copy.
      if (cause != Cause::user) cause_ = cause;
      insisted_ = true;
      return Action::none;
    case Phase::stopping:
      // Asked again while our stop runs: end as soon as the recording is final, without
      // waiting for the copy.
      insisted_ = true;
      return Action::none;
    case Phase::copying:
      return finish();
    case Phase::finished:
      return Action::none;
  }
  return Action::none;
}

QuitDecision::Action QuitDecision::captureChanged(Capture capture) {
  switch (phase_) {
    case Phase::waiting:
      if (capture == Capture::starting || capture == Capture::stopping) return Action::none;
      phase_ = Phase::none;
      return decide(cause_, capture);
    case Phase::copying:
      // The copy is over (or the user began another recording meanwhile, which is stopped too).
      if (capture == Capture::copying) return Action::none;
      phase_ = Phase::none;
      return decide(cause_, capture);
    default:
      return Action::none;
  }
}

QuitDecision::Action QuitDecision::recordingFinal() {
  if (phase_ != Phase::stopping) return Action::none;
  phase_ = Phase::copying;
  return insisted_ ? finish() : Action::startCopyWait;
}

QuitDecision::Action QuitDecision::stopFinished() {
  if (phase_ != Phase::stopping && phase_ != Phase::copying) return Action::none;
  return finish();
}

QuitDecision::Action QuitDecision::copyWaitOver() { return phase_ == Phase::copying ? finish() : Action::none; }

QuitDecision::Action QuitDecision::decide(Cause cause, Capture capture) {
  cause_ = cause;
  switch (capture) {
    case Capture::idle:
      return finish();
    case Capture::recording:
      phase_ = Phase::stopping;
      return Action::stopThenQuit;
    case Capture::copying:
      if (insisted_) return finish();
      phase_ = Phase::copying;
      return Action::startCopyWait;
    case Capture::starting:
      // A recording about to begin would be cut off half-made: let it start, then stop it.
      phase_ = Phase::waiting;
      return Action::wait;
    case Capture::stopping:
      if (cause == Cause::user) return Action::refuse;
      phase_ = Phase::waiting;
      return Action::wait;
  }
  return Action::none;
}

QuitDecision::Action QuitDecision::finish() {
  phase_ = Phase::finished;
  return Action::quitNow;
}

}  // namespace talvo
