// Quitting while a recording runs, by every way the program can be asked to end: the recorder
// runs on hand-fed engines over the real queue, and the "exit" is recorded instead of ending the
// test program.
#include "app/shell/quit_controller.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QFileInfo>
#include <QGuiApplication>
#include <QSessionManager>
#include <future>

#include "app/models/recorder_model.h"
#include "app/shell/quit_signals.h"
#include "app/tests/capture_fakes.h"
#include "app/tests/model_test_support.h"
#include "app/tests/ui_test_support.h"
#include "testing/memory_device_store.h"

namespace talvo {
namespace {

using testing::waitUntil;
using Cause = QuitController::Cause;

QuitController::Setup withoutSignals(int copyWaitMs = 10000) {
  QuitController::Setup setup;
  setup.catchSignals = false;
  setup.copyWaitMs = copyWaitMs;
  return setup;
}

class QuitControllerTest : public ::testing::Test {
 protected:
  QuitControllerTest() { ui_test::app(); }

  testing::ModelServiceRig rig;
  testing::TempDirectory elsewhere;
  std::shared_ptr<testing::SteppedClock> clock = std::make_shared<testing::SteppedClock>();
  // The sources and engine of the last recording.
  testing::FakeSource* computer = nullptr;
  testing::FakeSource* microphone = nullptr;
  NativeAudioCapture* engine = nullptr;
  std::shared_ptr<QSettings> settings =
      std::make_shared<QSettings>(QString::fromStdString(elsewhere.file("settings.ini")), QSettings::IniFormat);
  // The copy into the user's folder, held up (a network folder that stopped answering) until
  // the test lets it go.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  bool copyHangs = false;
  std::unique_ptr<RecorderModel> model;
  std::unique_ptr<QuitController> quit;
  int exits = 0;
  std::optional<std::string> stateAtExit;
  // The controller's clock, stepped by the tests that count intents.
  std::shared_ptr<testing::SteppedClock> quitClock = std::make_shared<testing::SteppedClock>();

  ~QuitControllerTest() override {
    if (copyHangs) release.set_value();
  }

  void make(QuitController::Setup setup = {}) {
    RecorderModel::Setup recorder;
    recorder.directory = QString::fromStdString(rig.recordings.path());
    recorder.captureFactory = [this](NativeAudioCapture::MainThreadPoster post) {
      auto computerSource = std::make_unique<testing::FakeSource>();
      auto microphoneSource = std::make_unique<testing::FakeSource>();
      computer = computerSource.get();
      microphone = microphoneSource.get();
      auto made = std::make_unique<NativeAudioCapture>(
          std::move(computerSource), std::move(microphoneSource), clock,
          [](const std::string&) { return std::optional<std::uint64_t>(std::uint64_t{1} << 40); }, std::move(post),
          NativeAudioCapture::Options{false, 21600});
      engine = made.get();
      return made;
    };
    recorder.cloud = rig.setup(std::make_shared<testing::MemoryDeviceStore>());
    recorder.folder.settings = settings;
    if (copyHangs) {
      settings->setValue(LocalRecordingFolder::settingsKey, QString::fromStdString(elsewhere.path()));
      recorder.folder.copy = [released = released](const std::string&, const std::string&) -> std::string {
        released.wait();
        throw std::runtime_error("the folder went away");
      };
    }
    model = std::make_unique<RecorderModel>(recorder, false);
    ASSERT_TRUE(waitUntil([&] { return !model->cloud().preparing(); }));
    setup.exit = [this] {
      ++exits;
      stateAtExit = state();
    };
    setup.clock = quitClock;
    quit = std::make_unique<QuitController>(*model, setup);
  }
  void startRecording() {
    model->start();
    ASSERT_TRUE(waitUntil([&] { return model->recording(); }));
    wav = model->saved().value_or("");
    // Half a second of sound in the file.
    for (int block = 0; block < 5; ++block) {
      const double at = clock->monotonicSeconds();
      computer->push(testing::constant(1600, 0.25f), at);
      microphone->push(testing::constant(1600, 0.125f), at);
      clock->advance(0.1);
      engine->flushNow();
    }
    engine->waitForQueue();
  }
  std::string state() {
    const QString id = QFileInfo(wav).completeBaseName();
    return model->cloud().queue()->directory().load(id.toStdString()).state;
  }

  QString wav;
};

TEST_F(QuitControllerTest, ASessionSaveLeavesTheRecordingAloneAndTheSessionsDieFinishesItBeforeTheEnd) {
  make(withoutSignals());
  startRecording();
  // "Save Session" (a checkpoint) and a logout both ask for the session's data; Qt does not tell
  // them apart, so the program keeps recording and waits for the end itself.
  alignas(QSessionManager) unsigned char storage[sizeof(QSessionManager)] = {};
  emit qGuiApp->commitDataRequest(*reinterpret_cast<QSessionManager*>(storage));
  ui_test::settle(300);
  EXPECT_TRUE(model->recording());
  EXPECT_EQ(exits, 0);

  // The session manager's Die reaches the application as a Quit event.
  QEvent die(QEvent::Quit);
  QCoreApplication::sendEvent(QCoreApplication::instance(), &die);
  ASSERT_TRUE(waitUntil([&] { return exits > 0; }, 10000));
  EXPECT_EQ(stateAtExit, "recorded");
  EXPECT_EQ(exits, 1);
}

TEST_F(QuitControllerTest, SighupQuitsLikeSigtermAndTheHandlersAreGoneOnceTheProgramEnds) {
  make();
  startRecording();
  ASSERT_EQ(::raise(SIGHUP), 0);
  ASSERT_TRUE(waitUntil([&] { return exits > 0; }, 10000));
  EXPECT_EQ(stateAtExit, "recorded");
  // Should the exit itself hang, a later signal must end the process as usual.
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction now {};
    sigaction(number, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << number;
  }
}

TEST_F(QuitControllerTest, AQuitWaitingOnAHungCopyEndsAfterABoundedWait) {
  copyHangs = true;
  make(withoutSignals(300));
  startRecording();
  quit->request(Cause::logout);
  ASSERT_TRUE(waitUntil([&] { return exits > 0; }, 10000)) << "the quit waits for the copy for ever";
  EXPECT_EQ(stateAtExit, "recorded");
}

TEST_F(QuitControllerTest, AskingAgainWhileTheCopyHangsEndsAtOnce) {
  copyHangs = true;
  make(withoutSignals(600000));
  startRecording();
  quit->request(Cause::signal);
  ASSERT_TRUE(waitUntil([&] { return state() == "recorded"; }, 10000));
  ui_test::settle(100);
  EXPECT_EQ(exits, 0);
  quitClock->advance(0.5);  // SIGHUP right after SIGTERM, as a session's end sends them: one request
  quit->request(Cause::signal);
  ui_test::settle(100);
  EXPECT_EQ(exits, 0) << "one session teardown counted as two requests";
  quitClock->advance(2);
  quit->request(Cause::signal);
  EXPECT_TRUE(waitUntil([&] { return exits > 0; }, 2000)) << "the second signal was swallowed";
}

// The user's own stop with a copy that hangs: the recorder leaves "stopping" once the recording
// is final and queued, a new recording may start, and `talvo --quit` (which the launcher's
// "Выйти" runs) is not refused: it stops the new one and waits for the copies only within the
// limit.
TEST_F(QuitControllerTest, AQuitDuringTheUsersOwnSaveWithAHungCopyEndsWithinTheLimit) {
  copyHangs = true;
  make(withoutSignals(300));
  startRecording();
  const QString first = QFileInfo(wav).completeBaseName();
  model->stop();
  ASSERT_TRUE(waitUntil([&] { return !model->stopping(); }, 10000)) << "a hung copy keeps the recorder stopping";
  EXPECT_TRUE(model->copying());
  EXPECT_EQ(state(), "recorded");
  quit->request(Cause::user);  // the tray's "Выйти" with only the copy left: a bounded wait, not a refusal
  ASSERT_TRUE(waitUntil([&] { return exits > 0; }, 10000)) << "the quit waits for the copy for ever";
  EXPECT_EQ(stateAtExit, "recorded");

  // Again with a quit that comes while the save itself runs, and a recording begun meanwhile.
  exits = 0;
  quit = std::make_unique<QuitController>(*model, [this] {
    auto setup = withoutSignals(300);
    setup.exit = [this] {
      ++exits;
      stateAtExit = state();
    };
    setup.clock = quitClock;
    return setup;
  }());
  startRecording();
  EXPECT_NE(QFileInfo(wav).completeBaseName(), first);
  model->stop();
  EXPECT_TRUE(model->stopping());
  quit->request(Cause::command);
  ASSERT_TRUE(waitUntil([&] { return exits > 0; }, 10000)) << "`--quit` during a save was dropped";
  EXPECT_EQ(stateAtExit, "recorded");
  EXPECT_TRUE(model->copying());
}

}  // namespace
}  // namespace talvo
