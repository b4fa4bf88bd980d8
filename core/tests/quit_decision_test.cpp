#include "core/program/quit_decision.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

using Action = QuitDecision::Action;
using Capture = QuitDecision::Capture;
using Cause = QuitDecision::Cause;
using Phase = QuitDecision::Phase;

TEST(QuitDecision, EveryCauseAgainstEveryCaptureState) {
  // Only the tray's "Выйти" may be refused, and only while a stop saves; `--quit` waits like a
  // signal. With only the copy left, every cause gives the copy its bounded wait.
  const Cause causes[] = {Cause::user, Cause::command, Cause::signal, Cause::logout, Cause::updateRelaunch};
  for (const Cause cause : causes) {
    const struct {
      Capture capture;
      Action action;
    } rows[] = {
        {Capture::idle, Action::quitNow},
        {Capture::starting, Action::wait},
        {Capture::recording, Action::stopThenQuit},
        {Capture::stopping, cause == Cause::user ? Action::refuse : Action::wait},
        {Capture::copying, Action::startCopyWait},
    };
    for (const auto& row : rows) {
      QuitDecision decision;
      EXPECT_EQ(decision.request(cause, row.capture, 100), row.action)
          << "cause " << int(cause) << ", capture " << int(row.capture);
    }
  }
}

TEST(QuitDecision, AWaitingQuitDecidesAgainWhenTheCaptureSettles) {
  // Starting: once the recording runs it is stopped; a start that failed ends at once.
  QuitDecision started;
  started.request(Cause::user, Capture::starting, 0);
  EXPECT_EQ(started.captureChanged(Capture::starting), Action::none);
  EXPECT_EQ(started.captureChanged(Capture::recording), Action::stopThenQuit);
  QuitDecision failed;
  failed.request(Cause::signal, Capture::starting, 0);
  EXPECT_EQ(failed.captureChanged(Capture::idle), Action::quitNow);
  // A signal while a user's stop saves waits for it; a user's later "Выйти" does not undo that.
  QuitDecision saving;
  EXPECT_EQ(saving.request(Cause::signal, Capture::stopping, 0), Action::wait);
  EXPECT_EQ(saving.request(Cause::user, Capture::stopping, 5), Action::none);
  EXPECT_EQ(saving.captureChanged(Capture::idle), Action::quitNow);
  EXPECT_EQ(saving.phase(), Phase::finished);
  EXPECT_EQ(saving.request(Cause::signal, Capture::idle, 10), Action::none);
  // A refused quit leaves nothing behind: the next one is decided afresh.
  QuitDecision refused;
  EXPECT_EQ(refused.request(Cause::user, Capture::stopping, 0), Action::refuse);
  EXPECT_EQ(refused.captureChanged(Capture::idle), Action::none);
  EXPECT_EQ(refused.request(Cause::user, Capture::idle, 5), Action::quitNow);
}

TEST(QuitDecision, AQuitDuringAUsersSaveWaitsForItThenBoundsTheCopy) {
  // `talvo --quit` while the user's stop saves: wait, then the copy gets its bounded wait, and
  // the copy's end (or the wait's) ends the program.
  QuitDecision command;
  EXPECT_EQ(command.request(Cause::command, Capture::stopping, 0), Action::wait);
  EXPECT_EQ(command.captureChanged(Capture::copying), Action::startCopyWait);
  EXPECT_EQ(command.phase(), Phase::copying);
  EXPECT_EQ(command.captureChanged(Capture::copying), Action::none);
  EXPECT_EQ(command.captureChanged(Capture::idle), Action::quitNow);
  QuitDecision hung;
  hung.request(Cause::logout, Capture::copying, 0);
  EXPECT_EQ(hung.copyWaitOver(), Action::quitNow);
  // Asked again (a second intent) while waiting for the save: the copy is not waited for.
  QuitDecision twice;
  twice.request(Cause::signal, Capture::stopping, 0);
  EXPECT_EQ(twice.request(Cause::signal, Capture::stopping, 3), Action::none);
  EXPECT_EQ(twice.captureChanged(Capture::copying), Action::quitNow);
  // The user began another recording while the quit waited for a copy: it is stopped too.
  QuitDecision again;
  again.request(Cause::signal, Capture::copying, 0);
  EXPECT_EQ(again.captureChanged(Capture::recording), Action::stopThenQuit);
  EXPECT_EQ(again.recordingFinal(), Action::startCopyWait);
}

TEST(QuitDecision, SignalsOfOneSessionTeardownAreOneRequest) {
  // SIGTERM and SIGHUP together, or Die and then SIGTERM: one intent, so the copy still waits.
  for (const Cause second : {Cause::signal, Cause::logout}) {
    QuitDecision decision;
    decision.request(Cause::logout, Capture::recording, 50);
    EXPECT_EQ(decision.request(second, Capture::stopping, 50.4), Action::none);
    EXPECT_EQ(decision.recordingFinal(), Action::startCopyWait);
    EXPECT_EQ(decision.request(second, Capture::copying, 50.9), Action::none);  // still within 1 s of the last
    EXPECT_EQ(decision.request(second, Capture::copying, 52.5), Action::quitNow);
  }
  // The user's own requests always count: `--quit` right after a signal cuts the copy short.
  QuitDecision user;
  user.request(Cause::signal, Capture::copying, 10);
  EXPECT_EQ(user.request(Cause::command, Capture::copying, 10.1), Action::quitNow);
  // A signal long after the first one while the stop runs: asked twice, no wait for the copy.
  QuitDecision late;
  late.request(Cause::signal, Capture::recording, 0);
  EXPECT_EQ(late.request(Cause::signal, Capture::stopping, 1.5), Action::none);
  EXPECT_EQ(late.recordingFinal(), Action::quitNow);
}

TEST(QuitDecision, TheCopyIntoTheUsersFolderGetsABoundedWaitThatAnotherRequestCutsShort) {
  QuitDecision waits;
  waits.request(Cause::logout, Capture::recording, 0);
  EXPECT_EQ(waits.copyWaitOver(), Action::none);
  EXPECT_EQ(waits.recordingFinal(), Action::startCopyWait);
  EXPECT_EQ(waits.copyWaitOver(), Action::quitNow);
  EXPECT_EQ(waits.stopFinished(), Action::none);  // the copy finishing later changes nothing
  QuitDecision asked;
  asked.request(Cause::user, Capture::recording, 0);
  asked.recordingFinal();
  EXPECT_EQ(asked.request(Cause::signal, Capture::copying, 0.2), Action::quitNow);
  QuitDecision copied;
  copied.request(Cause::user, Capture::recording, 0);
  copied.recordingFinal();
  EXPECT_EQ(copied.stopFinished(), Action::quitNow);
  EXPECT_EQ(copied.copyWaitOver(), Action::none);
}

}  // namespace
}  // namespace talvo
