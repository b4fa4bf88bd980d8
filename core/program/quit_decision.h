#pragma once
// What asking the program to end means for the recording. Every way of quitting (the menu, the
// `--quit` command, a signal, the session's end, the updater's relaunch) asks here; the shell
// carries out the answer. A quit never cuts a recording short: a running one is stopped and
// handed to the queue first. Only the tray menu's "Выйти" may be told no (while a stop is
// saving); a command, a signal, a logout or a relaunch cannot be refused, so it waits for the
// capture to settle instead. Once the recording is final and queued, only the copy into the
// user's folder may be left: that gets a bounded wait, which a second request cuts short.
//
// Requests are counted per intent: a session that ends sends SIGTERM and SIGHUP (or Die and
// SIGTERM) together; signals and logouts within `sameIntentSeconds` of the previous one are the
// same request, not a second one.
//
//   none ──request──▶ waiting (starting or stopping: decide again when it settles)
//     │                   │
//     ├──────────────▶ stopping (our stop runs) ──final──▶ copying (only the copy left)
//     │                    │                                 ▲    │
//     └──────────────────────── copying when asked ──────────┘    │
//                          └────────── stop done / copy done / wait over / asked again ──▶ finished
namespace talvo {

class QuitDecision {
 public:
  // user: the tray menu's "Выйти" (Ctrl+Q). command: `talvo --quit`, which the launcher's
  // "Выйти" runs. signal: SIGTERM, SIGINT, SIGHUP. logout: the session manager's Die.
  enum class Cause { user, command, signal, logout, updateRelaunch };
  // copying: the recording is final and in the queue; only its copy into the user's folder runs.
  enum class Capture { idle, starting, recording, stopping, copying };
  enum class Action {
    none,           // nothing to do now (already on the way out, or still waiting)
    refuse,         // the user asked while a stop is saving: the program goes on
    quitNow,        // end the program
    wait,           // the capture is starting or stopping: decide again when it settles
    stopThenQuit,   // stop the recording; end when it has been handed on
    startCopyWait,  // the recording is final; give its copy a bounded wait
  };
  enum class Phase { none, waiting, stopping, copying, finished };

  static constexpr double sameIntentSeconds = 1.0;

  // A quit is asked for while the capture is in `capture`; `now` is the monotonic clock.
  Action request(Cause cause, Capture capture, double now);
  // The capture's state changed; answers what a waiting or copying quit does now.
  Action captureChanged(Capture capture);
  // The recording being stopped for the quit is final and in the queue; only the copy into the
  // user's folder may still run.
  Action recordingFinal();
  // The stop, copy included, is over; or the copy's wait ran out.
  Action stopFinished();
  Action copyWaitOver();

  Phase phase() const { return phase_; }

 private:
  bool sameIntent(Cause cause, double now);
  Action decide(Cause cause, Capture capture);
  Action finish();

  Phase phase_ = Phase::none;
  Cause cause_ = Cause::user;  // of the quit that waits
  bool insisted_ = false;      // asked again while the quit waited: no wait for the copy
  bool automatic_ = false;     // the last request was a signal or a logout ...
  double lastAt_ = 0;          // ... at this time
};

}  // namespace talvo
