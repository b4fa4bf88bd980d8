#include "core/quit_decision.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

using Action = QuitDecision::Action;
using Capture = QuitDecision::Capture;
using Cause = QuitDecision::Cause;

TEST(QuitDecision, EveryCauseAgainstEveryCaptureState) {
  struct Row {
    Cause cause;
    Capture capture;
    Action action;
  };
  const Row table[] = {
      {Cause::user, Capture::idle, Action::quitNow},
      {Cause::user, Capture::starting, Action::wait},
      {Cause::user, Capture::recording, Action::stopThenQuit},
      {Cause::user, Capture::stopping, Action::refuse},
      {Cause::signal, Capture::idle, Action::quitNow},
      {Cause::signal, Capture::starting, Action::wait},
      {Cause::signal, Capture::recording, Action::stopThenQuit},
      {Cause::signal, Capture::stopping, Action::wait},
      {Cause::logout, Capture::idle, Action::quitNow},
      {Cause::logout, Capture::starting, Action::wait},
      {Cause::logout, Capture::recording, Action::stopThenQuit},
      {Cause::logout, Capture::stopping, Action::wait},
      {Cause::updateRelaunch, Capture::idle, Action::quitNow},
      {Cause::updateRelaunch, Capture::starting, Action::wait},
      {Cause::updateRelaunch, Capture::recording, Action::stopThenQuit},
      {Cause::updateRelaunch, Capture::stopping, Action::wait},
  };
  for (const Row& row : table) {
    QuitDecision decision;
    EXPECT_EQ(decision.request(row.cause, row.capture), row.action)
        << "cause " << int(row.cause) << ", capture " << int(row.capture);
  }
}

TEST(QuitDecision, AWaitingQuitDecidesAgainWhenTheCaptureSettles) {
  // Starting: once the recording runs it is stopped; a start that failed ends at once.
  QuitDecision started;
  started.request(Cause::user, Capture::starting);
  EXPECT_EQ(started.captureChanged(Capture::starting), Action::none);
  EXPECT_EQ(started.captureChanged(Capture::recording), Action::stopThenQuit);
  QuitDecision failed;
  failed.request(Cause::signal, Capture::starting);
  EXPECT_EQ(failed.captureChanged(Capture::idle), Action::quitNow);
  // A signal while a user's stop saves waits for it; a user's later "Выйти" does not undo that.
  QuitDecision saving;
  EXPECT_EQ(saving.request(Cause::signal, Capture::stopping), Action::wait);
  EXPECT_EQ(saving.request(Cause::user, Capture::stopping), Action::none);
  EXPECT_EQ(saving.captureChanged(Capture::idle), Action::quitNow);
  EXPECT_EQ(saving.phase(), QuitDecision::Phase::finished);
  EXPECT_EQ(saving.request(Cause::signal, Capture::idle), Action::none);
  // A refused quit leaves nothing behind: the next one is decided afresh.
  QuitDecision refused;
  EXPECT_EQ(refused.request(Cause::user, Capture::stopping), Action::refuse);
  EXPECT_EQ(refused.captureChanged(Capture::idle), Action::none);
  EXPECT_EQ(refused.request(Cause::user, Capture::idle), Action::quitNow);
}

TEST(QuitDecision, TheCopyIntoTheUsersFolderGetsABoundedWaitThatAnotherRequestCutsShort) {
  QuitDecision plain;
  plain.request(Cause::signal, Capture::recording);
  EXPECT_EQ(plain.request(Cause::signal, Capture::stopping), Action::none);  // final not yet
  EXPECT_EQ(plain.recordingFinal(), Action::quitNow);                        // asked twice: no wait for the copy
  QuitDecision waits;
  waits.request(Cause::logout, Capture::recording);
  EXPECT_EQ(waits.copyWaitOver(), Action::none);
  EXPECT_EQ(waits.recordingFinal(), Action::startCopyWait);
  EXPECT_EQ(waits.copyWaitOver(), Action::quitNow);
  EXPECT_EQ(waits.stopFinished(), Action::none);  // the copy finishing later changes nothing
  QuitDecision asked;
  asked.request(Cause::user, Capture::recording);
  asked.recordingFinal();
  EXPECT_EQ(asked.request(Cause::signal, Capture::stopping), Action::quitNow);
  QuitDecision copied;
  copied.request(Cause::user, Capture::recording);
  copied.recordingFinal();
  EXPECT_EQ(copied.stopFinished(), Action::quitNow);
  EXPECT_EQ(copied.copyWaitOver(), Action::none);
}

}  // namespace
}  // namespace talvo
