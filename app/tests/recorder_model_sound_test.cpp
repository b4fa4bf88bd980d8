// One recording through the models with the real capture engine and the real sound server
// (scripts/with-desktop-env: sink "speakers" is the default output, the microphone is fed
// through sink "micfeed"), uploaded to the fake service; and the engine's failures as the
// recorder shows them, on a private server of the test's own.
#include <gtest/gtest.h>

#include <QFileInfo>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/capture/free_space.h"
#include "app/capture/pulse_capture_source.h"
#include "app/models/recorder_model.h"
#include "app/tests/capture_fakes.h"
#include "app/tests/model_test_support.h"
#include "app/tests/private_sound_server.h"
#include "app/tests/pulse_test_player.h"
#include "testing/stepped_clock.h"
#include "testing/memory_device_store.h"
#include "cloud/upload_sha256.h"
#include "core/system/clock.h"

namespace talvo {
namespace {

using testing::ModelServiceRig;
using testing::PulseTestPlayer;
using testing::waitUntil;

using testing::envOr;

RecorderModel::CaptureFactory onServer(const std::string& address) {
  return [address](NativeAudioCapture::MainThreadPoster post) {
    auto [computer, microphone] = PulseCaptureSource::makePair(PulseCaptureSource::Stamping::blockDuration, address);
    return std::make_unique<NativeAudioCapture>(std::move(computer), std::move(microphone), Clock::system(),
                                                availableBytes, std::move(post));
  };
}

class RecorderModelSound : public ::testing::Test {
 protected:
  ModelServiceRig rig;
  testing::TempDirectory settingsDirectory;
  std::shared_ptr<std::atomic<double>> skew = std::make_shared<std::atomic<double>>(0);  // seconds ahead
  std::unique_ptr<RecorderModel> model;

  void make(RecorderModel::CaptureFactory factory = {}) {
    RecorderModel::Setup setup;
    setup.directory = QString::fromStdString(rig.recordings.path());
    setup.captureFactory = std::move(factory);  // none: the production engine on the default server
    setup.cloud = rig.setup(std::make_shared<testing::MemoryDeviceStore>());
    setup.cloud.queueClock = testing::wallReadings([skew = skew] {
      return std::chrono::time_point_cast<WallTime::duration>(std::chrono::system_clock::now() +
                                                              std::chrono::duration<double>(skew->load()));
    });
    setup.folder.settings =
        std::make_shared<QSettings>(QString::fromStdString(settingsDirectory.file("s.ini")), QSettings::IniFormat);
    model = std::make_unique<RecorderModel>(setup, false);
    ASSERT_TRUE(waitUntil([&] { return !model->cloud().preparing(); }));
  }
  std::string stateOf(const QString& wav) {
    return model->cloud().queue()->directory().load(QFileInfo(wav).completeBaseName().toStdString()).state;
  }
};

TEST_F(RecorderModelSound, ARecordingGoesFromTheButtonToAFinishedTranscriptionJob) {
  REQUIRE_SOUND_SERVER();
  make();
  testing::linkThroughModel(model->cloud(), rig);
  rig.runs.setJobDelay(std::chrono::milliseconds(0));

  const QStringList& states = testing::recordStates(*model);
  std::atomic<int> trayUpdates = 0;
  model->onStatusLevels = [&](const std::vector<float>&) { trayUpdates++; };

  PulseTestPlayer player;
  player.prepare(envOr("TALVO_TEST_SPEAKERS_SINK", "speakers"), PulseTestPlayer::tone(440, 8));
  player.prepare(envOr("TALVO_TEST_MIC_FEED_SINK", "micfeed"), PulseTestPlayer::tone(1000, 8));
  player.play();
  model->start();
  ASSERT_TRUE(waitUntil([&] { return model->recording(); }));
  const auto wav = model->saved();
  ASSERT_TRUE(wav.has_value());
  EXPECT_EQ(stateOf(*wav), "capturing");
  waitUntil([] { return false; }, 3000);  // three seconds of sound
  EXPECT_GT(model->latestElapsed(), 2.0);
  EXPECT_GT(trayUpdates.load(), 10);

  model->stop();
  ASSERT_TRUE(waitUntil([&] { return !model->stopping(); }));
  EXPECT_EQ(states, (QStringList{"100", "110", "010", "011", "001", "000"})) << states.join(" ").toStdString();
  EXPECT_EQ(model->saved(), wav);
  EXPECT_EQ(model->captureWarning(), std::nullopt);
  const auto contents = testing::readWave(wav->toStdString());
  EXPECT_GT(contents.samples.size(), 2u * 16000);
  EXPECT_GT(testing::tonePower(contents.samples, 16000, 8000, 440), 0.0);
  EXPECT_GT(testing::tonePower(contents.samples, 16000, 8000, 1000), 0.0);

  // The finish hands it to the queue, whose sync uploads it at once and asks for processing.
  const std::string id = QFileInfo(*wav).completeBaseName().toStdString();
  ASSERT_TRUE(waitUntil([&] { return stateOf(*wav) == "processing" || stateOf(*wav) == "done"; })) << stateOf(*wav);
  const std::string local = testing::readWholeFile(wav->toStdString());
  const auto run = rig.runs.run(id);
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->status, "finalized");
  EXPECT_EQ(run->bytes, static_cast<std::int64_t>(local.size()));
  EXPECT_EQ(run->sha256, UploadSha256::hex(local));
  EXPECT_EQ(rig.runs.storedFile(id), local);
  // A job still running is looked at again after the processing delay.
  *skew = DesktopUploadQueue::processingDelay + 1;
  ASSERT_TRUE(waitUntil([&] { return stateOf(*wav) == "done"; })) << stateOf(*wav);
  EXPECT_EQ(rig.runs.jobStatus(id), "completed");
}

TEST_F(RecorderModelSound, AStoppedServerFailsTheStartAndAServerLostMidwayInterruptsTheRecording) {
  REQUIRE_SOUND_SERVER();
  testing::PrivateSoundServer server;
  make(onServer(server.address()));
  {
    PulseTestPlayer player(server.address());
    player.prepare("speakers", PulseTestPlayer::tone(440, 6));
    player.prepare("micfeed", PulseTestPlayer::tone(1000, 6));
    player.play();
    model->start();
    ASSERT_TRUE(waitUntil([&] { return model->recording(); }));
    const auto wav = model->saved();
    waitUntil([] { return false; }, 1500);
    server.kill();
    ASSERT_TRUE(waitUntil([&] { return !model->recording() && !model->stopping(); }));
    ASSERT_TRUE(model->captureWarning().has_value());
    EXPECT_TRUE(model->captureWarning() == QString::fromStdString(testing::failureText("звук компьютера прерван")) ||
                model->captureWarning() == QString::fromStdString(testing::failureText("микрофон прерван")))
        << model->captureWarning()->toStdString();
    EXPECT_EQ(model->saved(), wav);
    const auto item = model->cloud().queue()->directory().load(QFileInfo(*wav).completeBaseName().toStdString());
    EXPECT_TRUE(item.interrupted);
    EXPECT_EQ(item.state, "recorded");
    EXPECT_GT(testing::readWave(wav->toStdString()).samples.size(), 16000u);
  }

  model->start();  // the server is gone now
  ASSERT_TRUE(waitUntil([&] { return !model->starting(); }, 30000));
  EXPECT_FALSE(model->recording());
  ASSERT_TRUE(model->captureWarning().has_value());
  EXPECT_TRUE(model->captureWarning()->startsWith("Не удалось включить")) << model->captureWarning()->toStdString();
  const auto listing = model->cloud().queue()->directory().list();
  ASSERT_EQ(listing.items.size(), 2u);
  for (const auto& item : listing.items) EXPECT_TRUE(item.interrupted) << item.id;
}

}  // namespace
}  // namespace talvo
