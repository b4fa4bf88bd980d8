// The recorder model with engines on fake sources, over a cloud model whose queue is real (the
// fake service on TLS, not linked), so the queue records of every outcome can be checked.
#include "app/models/recorder_model.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QSignalSpy>

#include <sys/stat.h>

#include <future>
#include <thread>

#include "app/capture/capture_failure.h"
#include "app/tests/capture_fakes.h"
#include "cloud/cloud_failure.h"
#include "app/tests/model_test_support.h"
#include "testing/memory_device_store.h"

namespace talvo {
namespace {

using testing::FakeSource;
using testing::ModelServiceRig;
using testing::SteppedClock;
using testing::waitUntil;

// Engines on hand-fed sources; the test reaches each one it made.
struct FakeEngines {
  struct Made {
    FakeSource* computer;
    FakeSource* microphone;
    NativeAudioCapture* engine;
  };
  std::mutex mutex;
  std::vector<Made> made;
  std::shared_ptr<SteppedClock> clock = std::make_shared<SteppedClock>();
  std::exception_ptr startError;
  std::atomic<std::uint64_t> freeSpace = std::uint64_t{1} << 40;
  std::function<void(FakeSource& microphone)> onMake;  // on the worker, before the engine starts
  std::optional<std::thread::id> stoppedOn;            // the thread that stopped a computer source

  RecorderModel::CaptureFactory factory() {
    return [this](NativeAudioCapture::MainThreadPoster post) {
      auto computer = std::make_unique<FakeSource>();
      auto microphone = std::make_unique<FakeSource>();
      microphone->startError = startError;
      computer->onStop = [this] {
        std::lock_guard lock(mutex);
        stoppedOn = std::this_thread::get_id();
      };
      if (onMake) onMake(*microphone);
      Made entry{computer.get(), microphone.get(), nullptr};
      auto engine = std::make_unique<NativeAudioCapture>(
          std::move(computer), std::move(microphone), clock,
          [this](const std::string&) { return std::optional<std::uint64_t>(freeSpace.load()); }, std::move(post),
          NativeAudioCapture::Options{false, 21600});
      entry.engine = engine.get();
      std::lock_guard lock(mutex);
      made.push_back(entry);
      return engine;
    };
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return made.size();
  }
  Made last() {
    std::lock_guard lock(mutex);
    return made.back();
  }
  std::optional<std::thread::id> stopThread() {
    std::lock_guard lock(mutex);
    return stoppedOn;
  }
};

class Denied : public MicrophonePermission {
 public:
  void request(std::function<void(bool)> answer) override {
    std::thread([answer] { answer(false); }).detach();  // answers from another thread
  }
};

class RecorderModelTest : public ::testing::Test {
 protected:
  ModelServiceRig rig;
  testing::TempDirectory elsewhere;
  FakeEngines engines;
  std::shared_ptr<QSettings> settings =
      std::make_shared<QSettings>(QString::fromStdString(elsewhere.file("settings.ini")), QSettings::IniFormat);
  std::unique_ptr<RecorderModel> model;

  void make(std::shared_ptr<MicrophonePermission> permission = nullptr) {
    RecorderModel::Setup setup;
    setup.directory = QString::fromStdString(rig.recordings.path());
    setup.permission = std::move(permission);
    setup.captureFactory = engines.factory();
    setup.cloud = rig.setup(std::make_shared<testing::MemoryDeviceStore>());
    setup.folder.settings = settings;
    model = std::make_unique<RecorderModel>(setup, false);
    ASSERT_TRUE(waitUntil([&] { return !model->cloud().preparing(); }));
  }
  void startRecording() {
    model->start();
    ASSERT_TRUE(waitUntil([&] { return model->recording(); }));
  }
  // A second of sound from both sources, written to the file.
  void feed() {
    const auto engine = engines.last();
    for (int block = 0; block < 10; ++block) {
      const double at = engines.clock->monotonicSeconds();
      engine.computer->push(testing::constant(1600, 0.25f), at);
      engine.microphone->push(testing::constant(1600, 0.125f), at);
      engines.clock->advance(0.1);
      engine.engine->flushNow();
    }
    engine.engine->waitForQueue();
  }
  DesktopQueueItem record(const QString& id) { return model->cloud().queue()->directory().load(id.toStdString()); }
  QString idOf(const std::optional<QString>& wav) { return QFileInfo(wav.value_or("")).completeBaseName(); }
};

TEST_F(RecorderModelTest, ARecordingPassesThroughEveryStateAndIsHandedToTheQueue) {
  make();
  const QStringList& states = testing::recordStates(*model);

  model->start();
  model->start();  // a quick second press starts nothing more
  ASSERT_TRUE(waitUntil([&] { return model->recording(); }));
  EXPECT_EQ(engines.count(), 1u);
  const auto wav = model->saved();
  ASSERT_TRUE(wav.has_value());
  EXPECT_TRUE(wav->startsWith(QString::fromStdString(rig.recordings.path())));
  EXPECT_EQ(model->recordingId(), idOf(wav));
  EXPECT_EQ(record(idOf(wav)).state, "capturing");

  feed();
  bool completed = false;
  model->stop(std::nullopt, [&] { completed = true; });
  model->start();  // refused while stopping
  ASSERT_TRUE(waitUntil([&] { return completed; }));
  EXPECT_EQ(engines.count(), 1u);
  EXPECT_FALSE(model->stopping());
  EXPECT_EQ(model->saved(), wav);  // the default folder is the recordings directory: no copy
  EXPECT_EQ(model->captureWarning(), std::nullopt);
  const auto item = record(idOf(wav));
  EXPECT_EQ(item.state, "recorded");
  EXPECT_FALSE(item.interrupted);
  EXPECT_EQ(states, (QStringList{"100", "110", "010", "011", "001", "000"})) << states.join(" ").toStdString();

  bool immediate = false;
  model->stop(std::nullopt, [&] { immediate = true; });  // nothing is recording
  EXPECT_TRUE(immediate);
}

TEST_F(RecorderModelTest, ADeniedPermissionShowsItsTextAndStartsNothing) {
  make(std::make_shared<Denied>());
  model->start();
  ASSERT_TRUE(waitUntil([&] { return !model->starting(); }));
  EXPECT_FALSE(model->recording());
  EXPECT_EQ(model->captureWarning(), QString(RecorderModel::permissionText));
  EXPECT_EQ(model->captureWarning(), "Разрешите доступ к микрофону в настройках системы.");
  EXPECT_EQ(engines.count(), 0u);
}

TEST_F(RecorderModelTest, StartingIsRefusedWhileTheVetoSaysNo) {
  make();
  model->canStartRecording = [] { return false; };
  model->start();
  EXPECT_FALSE(model->starting());
  EXPECT_EQ(engines.count(), 0u);
}

TEST_F(RecorderModelTest, AnEngineThatFailsToStartShowsItsTextAndTheReservationIsInterrupted) {
  engines.startError = std::make_exception_ptr(CaptureFailure::audio("микрофон", -1));
  make();
  model->start();
  ASSERT_TRUE(waitUntil([&] { return !model->starting(); }));
  EXPECT_FALSE(model->recording());
  EXPECT_EQ(model->captureWarning(), QString::fromStdString(testing::failureText("микрофон")));
  const auto listing = model->cloud().queue()->directory().list();
  ASSERT_EQ(listing.items.size(), 1u);
  EXPECT_TRUE(listing.items.front().interrupted);
  EXPECT_NE(listing.items.front().state, "capturing");
}

TEST_F(RecorderModelTest, AFullDiskRefusesTheStartWithItsTextAndLosesNothing) {
  make();
  startRecording();
  feed();
  const auto earlier = model->saved();
  bool done = false;
  model->stop(std::nullopt, [&] { done = true; });
  ASSERT_TRUE(waitUntil([&] { return done; }));
  const std::string bytes = testing::readWholeFile(earlier->toStdString());

  engines.freeSpace = 1 << 20;
  model->start();
  ASSERT_TRUE(waitUntil([&] { return !model->starting(); }));
  EXPECT_FALSE(model->recording());
  EXPECT_EQ(model->captureWarning(), "Недостаточно свободного места для записи.");
  EXPECT_EQ(testing::readWholeFile(earlier->toStdString()), bytes);  // the earlier recording is untouched
  EXPECT_EQ(record(idOf(earlier)).state, "recorded");
}

TEST_F(RecorderModelTest, AFailureWhileRecordingStopsItAsInterrupted) {
  make();
  startRecording();
  const auto wav = model->saved();
  engines.last().microphone->lose();
  ASSERT_TRUE(waitUntil([&] { return !model->recording() && !model->stopping(); }));
  ASSERT_TRUE(model->captureWarning().has_value());
  EXPECT_FALSE(model->captureWarning()->isEmpty());
  EXPECT_EQ(model->saved(), wav);
  EXPECT_TRUE(record(idOf(wav)).interrupted);
}

TEST_F(RecorderModelTest, ProgressMovesThePanelOnlyWhileVisibleAndIsIgnoredAfterStop) {
  make();
  std::vector<std::vector<float>> tray;
  model->onStatusLevels = [&](const std::vector<float>& levels) { tray.push_back(levels); };
  startRecording();
  NativeAudioCapture* engine = engines.last().engine;
  QSignalSpy elapsed(model.get(), &RecorderModel::elapsedChanged);

  engine->onProgress(1.5, 0.5f, 0.25f, std::nullopt);  // panel hidden
  EXPECT_EQ(model->elapsed(), 0);
  EXPECT_EQ(model->levels(), RecordingLevels{});
  EXPECT_EQ(model->latestElapsed(), 1.5);
  ASSERT_EQ(tray.size(), 1u);
  EXPECT_EQ(tray.back().back(), 0.5f);

  model->setPanelVisible(true);  // shows what happened meanwhile
  EXPECT_EQ(model->elapsed(), 1.5);
  engine->onProgress(2.0, 0.1f, 0.75f, std::string("Нет звука"));
  EXPECT_EQ(model->elapsed(), 2.0);
  EXPECT_EQ(model->levels().values().back(), 0.75f);
  EXPECT_EQ(model->captureWarning(), "Нет звука");
  engine->onProgress(2.1, 0.1f, 0.1f, std::nullopt);
  EXPECT_EQ(model->captureWarning(), std::nullopt);  // the warning goes with the snapshot

  bool done = false;
  model->stop(std::nullopt, [&] { done = true; });
  const auto before = elapsed.count();
  engine->onProgress(9.0, 1, 1, std::nullopt);  // late, from the stopped run
  EXPECT_EQ(model->latestElapsed(), 2.1);
  EXPECT_EQ(elapsed.count(), before);
  ASSERT_TRUE(waitUntil([&] { return done; }));
}

TEST_F(RecorderModelTest, AChosenFolderGetsACopyAndAFailedCopyKeepsTheOriginal) {
  settings->setValue(LocalRecordingFolder::settingsKey, QString::fromStdString(elsewhere.path()));
  make();
  EXPECT_EQ(model->folder().directory(), QString::fromStdString(elsewhere.path()));
  startRecording();
  feed();
  const auto wav = model->saved();
  bool done = false;
  model->stop(std::nullopt, [&] { done = true; });
  ASSERT_TRUE(waitUntil([&] { return done; }));
  const QString copy = QString::fromStdString(elsewhere.path()) + "/" + QFileInfo(*wav).fileName();
  EXPECT_EQ(model->saved(), copy);
  EXPECT_EQ(testing::readWholeFile(copy.toStdString()), testing::readWholeFile(wav->toStdString()));
  EXPECT_EQ(model->folder().failure(), std::nullopt);

  ASSERT_EQ(::chmod(elsewhere.path().c_str(), 0777), 0);  // others may write there: refused
  startRecording();
  feed();
  const auto second = model->saved();
  done = false;
  model->stop(std::nullopt, [&] { done = true; });
  ASSERT_TRUE(waitUntil([&] { return done; }));
  ASSERT_EQ(::chmod(elsewhere.path().c_str(), 0700), 0);
  EXPECT_EQ(model->saved(), second);
  EXPECT_EQ(model->folder().failure(), QString(LocalRecordingFolder::publishFailedText));
  EXPECT_EQ(record(idOf(second)).state, "recorded");  // the recording itself is unharmed
}

TEST_F(RecorderModelTest, ADestroyedModelIgnoresItsRunningEngine) {
  make();
  startRecording();
  feed();
  const auto wav = model->saved();
  engines.last().microphone->lose();  // its failure reaches the main thread after the model is gone
  model.reset();
  ASSERT_TRUE(waitUntil([&] { return engines.stopThread().has_value(); }));
  EXPECT_NE(engines.stopThread(), std::this_thread::get_id());  // stopped off the main thread
  ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(*wav + ".json"); }));
  EXPECT_EQ(testing::readWave(wav->toStdString()).samples.size(), 16000u);  // finalised, nothing lost
}

// The engine starts on a worker; a source lost before its start reached the main thread must
// still stop the recording.
TEST_F(RecorderModelTest, AFailureDuringTheStartHandOffStopsTheRecording) {
  make();
  std::jthread loser;
  engines.onMake = [&loser](FakeSource& microphone) {
    // The main loop is held until long after the start finished and the source was lost.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); },
        Qt::QueuedConnection);
    microphone.onStart = [&loser, &microphone] {
      loser = std::jthread([&microphone] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        microphone.lose();
      });
    };
  };
  model->start();
  ASSERT_TRUE(waitUntil([&] { return model->saved().has_value() && !model->starting(); }));
  ASSERT_TRUE(waitUntil([&] { return !model->recording() && !model->stopping(); }, 5000))
      << "the lost source went unnoticed";
  EXPECT_TRUE(model->captureWarning().has_value());
  EXPECT_TRUE(record(idOf(model->saved())).interrupted);
}

// An unanswered keyring prompt holds the cloud model in `preparing`; recording works meanwhile
// and each recording joins the queue once the vault answers.
TEST_F(RecorderModelTest, RecordingWorksWhileTheVaultIsStillLoading) {
  struct Gate {
    std::promise<void> promise;
    std::shared_future<void> future = promise.get_future().share();
    bool opened = false;
    void open() {
      if (!std::exchange(opened, true)) promise.set_value();
    }
    ~Gate() { open(); }
  } gate;
  RecorderModel::Setup setup;
  setup.directory = QString::fromStdString(rig.recordings.path());
  setup.captureFactory = engines.factory();
  setup.cloud = rig.setup(nullptr);
  setup.cloud.store = [answered = gate.future]() -> std::shared_ptr<DeviceVaultStore> {
    answered.wait();
    return std::make_shared<testing::MemoryDeviceStore>();
  };
  setup.folder.settings = settings;
  model = std::make_unique<RecorderModel>(setup, false);

  ASSERT_NO_FATAL_FAILURE(startRecording());
  feed();
  bool done = false;
  model->stop(std::nullopt, [&] { done = true; });
  ASSERT_TRUE(waitUntil([&] { return done; }));
  const QString first = idOf(model->saved());
  ASSERT_NO_FATAL_FAILURE(startRecording());  // still waiting for the keyring
  EXPECT_TRUE(model->cloud().preparing());
  gate.open();
  ASSERT_TRUE(waitUntil([&] { return !model->cloud().preparing(); }));
  feed();
  done = false;
  model->stop(std::nullopt, [&] { done = true; });
  ASSERT_TRUE(waitUntil([&] { return done; }));
  const QString second = idOf(model->saved());
  for (const QString& id : {first, second}) {
    ASSERT_TRUE(waitUntil([&] {
      try {
        return record(id).state == "recorded";
      } catch (const std::exception&) {
        return false;
      }
    })) << id.toStdString();
    EXPECT_FALSE(record(id).interrupted);
  }
}

// The keyring's answer, held back by the test.
struct KeyringGate {
  std::promise<void> promise;
  std::shared_future<void> future = promise.get_future().share();
  bool opened = false;
  void open() {
    if (!std::exchange(opened, true)) promise.set_value();
  }
  ~KeyringGate() { open(); }
};

std::function<std::shared_ptr<DeviceVaultStore>()> gatedStore(std::shared_future<void> answered,
                                                              std::shared_ptr<DeviceVaultStore> store) {
  return [answered, store]() -> std::shared_ptr<DeviceVaultStore> {
    answered.wait();
    if (!store) throw std::runtime_error("keyring refused");
    return store;
  };
}

// A recording made while the keyring has not answered, or after it refused, is in the queue
// however the program ends — quit (every quit path stops through `stop`) or killed mid-recording
// (the disk as it was at that moment) — and the next start with the keyring open sends it
// byte-identical once the user sends the computer's unowned recordings.
TEST_F(RecorderModelTest, ARecordingMadeWithoutTheKeyringReachesTheQueueHoweverTheProgramEnds) {
  for (const bool refused : {false, true}) {
    for (const bool killed : {false, true}) {
      SCOPED_TRACE(std::string(refused ? "keyring refused, " : "keyring unanswered, ") + (killed ? "killed" : "quit"));
      KeyringGate gate;
      if (refused) gate.open();
      RecorderModel::Setup setup;
      setup.directory = QString::fromStdString(rig.recordings.path());
      setup.captureFactory = engines.factory();
      setup.cloud = rig.setup(nullptr);
      setup.cloud.store = gatedStore(gate.future, nullptr);
      setup.folder.settings = settings;
      model = std::make_unique<RecorderModel>(setup, false);
      if (refused) {
        ASSERT_TRUE(waitUntil([&] { return !model->cloud().preparing(); }));
      }

      ASSERT_NO_FATAL_FAILURE(startRecording());
      const QString id = idOf(model->saved());
      // Written at the start, owner to follow; while the queue still reads its folder the record
      // follows a moment later.
      ASSERT_TRUE(waitUntil([&] {
        try {
          return record(id).state == "capturing";
        } catch (const CloudFailure&) {
          return false;
        }
      }));
      EXPECT_FALSE(record(id).ownerId);
      feed();
      const std::string wav = model->saved()->toStdString();
      const std::string recordPath = rig.recordings.file(id.toStdString() + ".upload.json");
      const std::string crashedWav = testing::readWholeFile(wav);
      const std::string crashedRecord = testing::readWholeFile(recordPath);
      bool handedOn = false;
      model->stop(std::nullopt, [&] { handedOn = true; });
      ASSERT_TRUE(waitUntil([&] { return handedOn; }));
      if (!refused) {
        EXPECT_TRUE(model->cloud().preparing());
      }
      EXPECT_EQ(record(id).state, "recorded");  // final before the quit goes on
      if (killed) {                             // the disk as a kill -9 during the recording left it
        testing::writeWholeFile(wav, crashedWav);
        testing::writeWholeFile(recordPath, crashedRecord);
      }
      model.reset();

      RecorderModel::Setup next = setup;
      next.cloud = rig.setup(std::make_shared<testing::MemoryDeviceStore>());
      model = std::make_unique<RecorderModel>(next, false);
      ASSERT_NO_FATAL_FAILURE(testing::linkThroughModel(model->cloud(), rig));
      EXPECT_EQ(record(id).state, "recorded");
      EXPECT_EQ(record(id).interrupted, killed);
      model->cloud().adoptUnlinked();
      ASSERT_TRUE(waitUntil([&] {
        const auto run = rig.runs.run(id.toStdString());
        return run && run->status == "finalized";
      }));
      EXPECT_EQ(rig.runs.storedFile(id.toStdString()), testing::readWholeFile(wav));
      if (killed) {  // no sample that reached the disk is lost
        EXPECT_EQ(testing::readWholeFile(wav).size(), crashedWav.size());
      }
      model.reset();
    }
  }
}

// Once the keyring answers with a connected account, the records made before get that owner.
TEST_F(RecorderModelTest, RecordsMadeBeforeTheKeyringAnsweredGetTheConnectedOwner) {
  auto vault = std::make_shared<testing::MemoryDeviceStore>();
  make();
  model.reset();
  {
    CloudModel linking(QString::fromStdString(rig.recordings.path()), rig.setup(vault));
    ASSERT_NO_FATAL_FAILURE(testing::linkThroughModel(linking, rig));
  }
  KeyringGate gate;
  RecorderModel::Setup setup;
  setup.directory = QString::fromStdString(rig.recordings.path());
  setup.captureFactory = engines.factory();
  setup.cloud = rig.setup(nullptr);
  setup.cloud.store = gatedStore(gate.future, vault);
  setup.folder.settings = settings;
  model = std::make_unique<RecorderModel>(setup, false);
  ASSERT_NO_FATAL_FAILURE(startRecording());
  const QString id = idOf(model->saved());
  EXPECT_FALSE(record(id).ownerId);
  gate.open();
  ASSERT_TRUE(waitUntil([&] { return record(id).ownerId.has_value(); }));
  EXPECT_EQ(record(id).ownerId, "1001");
  EXPECT_EQ(record(id).state, "capturing");
  feed();
  bool done = false;
  model->stop(std::nullopt, [&] { done = true; });
  ASSERT_TRUE(waitUntil([&] { return done; }));
  EXPECT_EQ(record(id).ownerId, "1001");
  ASSERT_TRUE(waitUntil([&] {
    const auto run = rig.runs.run(id.toStdString());
    return run && run->status == "finalized";
  }));
}

}  // namespace
}  // namespace talvo
