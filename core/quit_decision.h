#pragma once
// What asking the program to end means for the recording. Every way of quitting (the menu, a
// signal, the session's end, the updater's relaunch) asks here; the shell carries out the
// answer. A quit never cuts a recording short: a running one is stopped and handed to the queue
// first. Only the user may be told no (while a stop is already saving); a signal, a logout or a
// relaunch cannot be refused, so it waits for the capture to settle instead.
//
//   none ──request──▶ waiting (starting or stopping: decide again when it settles)
//     │                   │
//     └──────────────▶ stopping (our stop runs) ──final──▶ copying (only the user's copy left)
//                          │                                   │
//                          └────────── stop done / wait over ──┴──▶ finished
namespace talvo {

class QuitDecision {
 public:
  enum class Cause { user, signal, logout, updateRelaunch };
  enum class Capture { idle, starting, recording, stopping };
  enum class Action {
    none,           // nothing to do now (already on the way out, or still waiting)
    refuse,         // the user asked while a stop is saving: the program goes on
    quitNow,        // end the program
    wait,           // the capture is starting or stopping: decide again when it settles
    stopThenQuit,   // stop the recording; end when it has been handed on
    startCopyWait,  // the recording is final; give its copy a bounded wait
  };
  enum class Phase { none, waiting, stopping, copying, finished };

  // A quit is asked for while the capture is in `capture`.
  Action request(Cause cause, Capture capture);
  // The capture's state changed; answers what a waiting quit does now.
  Action captureChanged(Capture capture);
  // The recording being stopped for the quit is final and in the queue; only the copy into the
  // user's folder may still run.
  Action recordingFinal();
  // The stop, copy included, is over; or the copy's wait ran out.
  Action stopFinished();
  Action copyWaitOver();

  Phase phase() const { return phase_; }

 private:
  Action decide(Cause cause, Capture capture);
  Action finish();

  Phase phase_ = Phase::none;
  Cause cause_ = Cause::user;  // of the quit that waits
  bool insisted_ = false;      // asked again, not by the user, while our stop ran
};

}  // namespace talvo
