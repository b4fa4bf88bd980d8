// The capture engine with real threads: sources delivering from their own threads while the
// capture queue is busy or the recording stops, and the real flush timer. Run under TSan too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "app/capture/native_audio_capture.h"
#include "app/tests/capture_fakes.h"

namespace talvo {
namespace {

using testing::CaptureRig;
using testing::constant;
using testing::failureText;
using testing::readReport;
using testing::readWave;

// Runs the rig's main-thread tasks until `done` or about 20 s.
template <typename Predicate>
bool runMainUntil(CaptureRig& rig, Predicate done) {
  for (int i = 0; i < 4000; ++i) {
    rig.main.run();
    if (done()) {
      return true;
    }
    usleep(5000);
  }
  return false;
}

TEST(NativeAudioCaptureBacklog, ABusyQueueDropsMicrophoneBlocksAndSaysSoOnce) {
  CaptureRig rig;
  std::string wav = rig.start();
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  bool first = true;
  rig.spaceHook = [&] {
    if (first) {
      first = false;
      entered.set_value();
      released.wait();
    }
  };
  rig.clock->advance(1.6);
  // This flush checkpoints and then hangs in the free-space query: the queue is busy.
  std::thread flusher([&] { rig.engine->flushNow(); });
  entered.get_future().wait();

  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(rig.computer->push(constant(100, 0.1f), rig.at(20000 + i * 100)));
  }
  for (int i = 0; i < NativeAudioCapture::maximumPendingBlocks + 4; ++i) {
    rig.microphone->push(constant(100, 0.1f), rig.at(20000 + i * 100));
  }
  release.set_value();
  flusher.join();
  rig.engine->waitForQueue();
  rig.main.run();
  EXPECT_EQ(rig.failures, std::vector<std::string>{failureText("сохранение: очередь переполнена")});
  rig.engine->stopAndWait();
  auto report = readReport(wav);
  EXPECT_EQ(report["microphoneBackpressure"], true);
  // The waiting blocks were still taken; the rest were dropped.
  EXPECT_EQ(report["deliveredFrames"], nlohmann::json::array({300, NativeAudioCapture::maximumPendingBlocks * 100}));
}

TEST(NativeAudioCaptureStopRace, StopWhileBothSourcesStillDeliverLeavesAnExactValidFile) {
  CaptureRig rig;
  std::string wav = rig.start();
  std::atomic<bool> go{true};
  auto pusher = [&](testing::FakeSource* source) {
    std::int64_t frame = 0;
    while (go) {
      if (!source->push(constant(160, 0.25f), rig.at(frame))) {
        return;  // stopped
      }
      frame += 160;
      usleep(200);
    }
  };
  std::thread a(pusher, rig.computer);
  std::thread b(pusher, rig.microphone);
  usleep(20000);
  rig.clock->advance(1.0);
  bool completed = false;
  std::optional<std::string> file;
  rig.engine->stop([&](const std::optional<std::string>& f, const std::optional<std::string>&) {
    file = f;
    completed = true;
  });
  EXPECT_TRUE(runMainUntil(rig, [&] { return completed; }));
  go = false;
  a.join();
  b.join();
  ASSERT_EQ(file, wav);
  auto contents = readWave(wav);
  EXPECT_EQ(contents.samples.size(), 16000u);
  EXPECT_EQ(contents.headerDataBytes, 32000u);
}

TEST(NativeAudioCaptureTimer, FlushesAndReportsProgressOnItsOwn) {
  CaptureRig rig({true, 21600});
  std::string wav = rig.start();
  rig.clock->advance(2.0);
  EXPECT_TRUE(runMainUntil(rig, [&] { return !rig.progress.empty(); }));
  // The timer's flushes wrote the trailing 1.5 s and checkpointed it.
  EXPECT_TRUE(runMainUntil(rig, [&] { return readWave(wav).headerDataBytes == 48000u; }));
  auto result = rig.engine->stopAndWait();
  EXPECT_EQ(result.wav, wav);
}

}  // namespace
}  // namespace talvo
