// The capture engine driven deterministically: fake sources deliver blocks on the test thread,
// the clocks move only when the test moves them, and flushes happen when the test asks.
#include "app/capture/native_audio_capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "app/capture/capture_failure.h"
#include "app/tests/capture_fakes.h"
#include "core/system/file_error.h"
#include "core/system/system_call.h"

namespace talvo {
namespace {

using testing::CaptureRig;
using testing::constant;
using testing::failureText;
using testing::readReport;
using testing::readWave;

const std::string formatText = "Устройство вернуло неподдержанный формат звука.";
const std::string diskText = "Недостаточно свободного места для записи.";

TEST(NativeAudioCaptureStart, RefusesABadIdOrALowDiskBeforeTouchingAnything) {
  for (const char* id :
       {"0F6B5D4C-3B2A-4C1D-8E2A-3F0C1A529B7E", "not-a-uuid", "", "../0f6b5d4c-3b2a-4c1d-8e2a-3f0c1a52"}) {
    CaptureRig rig;
    try {
      rig.engine->start(rig.directory.path(), id);
      FAIL() << "started with id " << id;
    } catch (const CaptureFailure& failure) {
      EXPECT_EQ(failure.what(), formatText);
    }
    EXPECT_EQ(rig.computer->starts, 0);
  }
  CaptureRig rig;
  rig.freeSpace = 100u << 20;  // 100 MiB
  try {
    rig.start();
    FAIL() << "started with 100 MiB free";
  } catch (const CaptureFailure& failure) {
    EXPECT_EQ(failure.what(), diskText);
  }
  EXPECT_EQ(rig.computer->starts, 0);
  EXPECT_EQ(rig.freeSpaceQueries, std::vector<std::string>{rig.directory.path()});
  EXPECT_NE(access(rig.directory.file(std::string(testing::recordingId) + ".wav").c_str(), F_OK), 0);
}

TEST(NativeAudioCaptureStart, StartsWhenTheSystemGivesNoFreeSpaceFigure) {
  CaptureRig rig;
  rig.freeSpace = std::nullopt;
  std::string wav = rig.start();
  EXPECT_EQ(wav, rig.directory.file(std::string(testing::recordingId) + ".wav"));
  EXPECT_EQ(rig.computer->starts, 1);
  EXPECT_EQ(rig.microphone->starts, 1);
}

TEST(NativeAudioCaptureStart, AFailedSourceLeavesAClosedFileAndAReport) {
  CaptureRig rig;
  rig.microphone->startError = std::make_exception_ptr(CaptureFailure::audio("микрофон", -6));
  try {
    rig.start();
    FAIL() << "start succeeded";
  } catch (const CaptureFailure& failure) {
    EXPECT_STREQ(failure.what(), "Не удалось включить микрофон (-6). Проверьте разрешения звука.");
  }
  // The computer's stream was running and is stopped again.
  EXPECT_EQ(rig.computer->stops, 1);
  std::string wav = rig.directory.file(std::string(testing::recordingId) + ".wav");
  auto contents = readWave(wav);
  EXPECT_EQ(contents.headerDataBytes, 0u);
  EXPECT_TRUE(contents.samples.empty());
  auto report = readReport(wav);
  EXPECT_EQ(report["failure"], "Не удалось включить микрофон (-6). Проверьте разрешения звука.");
  EXPECT_EQ(report["terminalFailure"], true);
  rig.main.run();
  EXPECT_EQ(rig.failures.size(), 1u);
  // A second stop has nothing left to do, and still names what went wrong.
  auto again = rig.engine->stopAndWait();
  EXPECT_FALSE(again.wav);
  EXPECT_EQ(again.failure, "Не удалось включить микрофон (-6). Проверьте разрешения звука.");
}

TEST(NativeAudioCaptureStart, ASourceLostWhileTheOtherIsStartingFailsTheStart) {
  CaptureRig rig;
  rig.microphone->onStart = [&] { rig.computer->lose(); };
  try {
    rig.start();
    FAIL() << "started with the computer's stream gone";
  } catch (const CaptureFailure& failure) {
    EXPECT_EQ(failure.what(), failureText("звук компьютера прерван"));
  }
  EXPECT_EQ(rig.computer->stops, 1);
  EXPECT_EQ(rig.microphone->stops, 1);
  rig.main.run();
  EXPECT_EQ(rig.failures, std::vector<std::string>{failureText("звук компьютера прерван")});
}

// Tasks the engine posted to the main thread outlive it when the owner drops it: they must not
// touch it (AddressSanitizer reports the use after free this guards against).
TEST(NativeAudioCaptureLifetime, TasksPostedBeforeTheEngineWasDroppedDoNothing) {
  {
    CaptureRig rig;
    rig.microphone->startError = std::make_exception_ptr(CaptureFailure::audio("микрофон", -6));
    try {
      rig.start();
    } catch (const CaptureFailure&) {
      rig.engine.reset();  // as a caller would in its catch
    }
    rig.main.run();
    EXPECT_TRUE(rig.failures.empty());
  }
  {
    CaptureRig rig;
    rig.start();
    rig.clock->advance(1.0);
    rig.engine->flushNow();  // progress waits on the main thread
    rig.computer->lose();
    rig.engine->waitForQueue();  // so does the failure
    rig.engine.reset();
    rig.main.run();
    EXPECT_TRUE(rig.failures.empty());
    EXPECT_TRUE(rig.progress.empty());
  }
  {
    // A failure callback that drops the engine itself.
    CaptureRig rig;
    rig.start();
    rig.engine->onFailure = [&](const std::string& text) {
      rig.failures.push_back(text);
      rig.engine.reset();
    };
    rig.computer->lose();
    rig.microphone->lose();
    rig.clock->advance(1.0);
    rig.engine->flushNow();
    rig.main.run();
    EXPECT_EQ(rig.failures, std::vector<std::string>{failureText("звук компьютера прерван")});
  }
}

TEST(NativeAudioCaptureStop, ASecondStopReturnsTheFirstFailure) {
  CaptureRig rig;
  rig.start();
  rig.microphone->lose();
  rig.engine->waitForQueue();
  auto first = rig.engine->stopAndWait();
  EXPECT_TRUE(first.wav);
  EXPECT_EQ(first.failure, failureText("микрофон прерван"));
  auto second = rig.engine->stopAndWait();
  EXPECT_FALSE(second.wav);
  EXPECT_EQ(second.failure, first.failure);
}

TEST(NativeAudioCapturePlacement, JitterOfOneFrameJoinsBlocksAndLargerGapsStay) {
  CaptureRig rig;
  std::string wav = rig.start();
  rig.computer->push(constant(1000, 1.0f), rig.at(0));
  rig.computer->push(constant(1000, 1.0f), rig.at(1001));  // one frame late: continues at 1000
  rig.computer->push(constant(500, 1.0f), rig.at(1999));   // one frame early: continues at 2000
  rig.computer->push(constant(500, 1.0f), rig.at(2502));   // two frames later: gap 2500..2501
  rig.microphone->push(constant(100, -1.0f), rig.at(3500));
  rig.engine->waitForQueue();
  auto result = rig.engine->stopAndWait(rig.at(4000));
  ASSERT_EQ(result.wav, wav);
  EXPECT_FALSE(result.failure);

  auto contents = readWave(wav);
  ASSERT_EQ(contents.samples.size(), 4000u);
  EXPECT_EQ(contents.headerDataBytes, 8000u);
  for (int p = 0; p < 4000; ++p) {
    std::int16_t expected = 0;
    if (p < 2500 || (p >= 2502 && p < 3002)) {
      expected = 16384;
    } else if (p >= 3500 && p < 3600) {
      expected = -16384;
    }
    ASSERT_EQ(contents.samples[p], expected) << "at " << p;
  }
  auto report = readReport(wav);
  EXPECT_EQ(report["deliveredFrames"], nlohmann::json::array({3000, 100}));
  EXPECT_EQ(report["missingFrames"], nlohmann::json::array({1000, 3900}));
  EXPECT_EQ(report["lateFrames"], nlohmann::json::array({0, 0}));
  EXPECT_EQ(report["timelineFrames"], 4000);
  EXPECT_EQ(report["writtenFrames"], 4000);
  EXPECT_DOUBLE_EQ(report["interruptedAtSeconds"].get<double>(), 0.25);
}

TEST(NativeAudioCapturePlacement, BadBlocksAreRefusedOrCountedNeverCrash) {
  {
    // A backwards jump lands before the cursor and is late; NaN becomes silence; stereo is
    // folded to mono.
    CaptureRig rig;
    std::string wav = rig.start();
    rig.clock->advance(1.0);
    rig.computer->push(constant(100, 0.5f), rig.at(0));
    rig.engine->waitForQueue();
    rig.engine->flushNow();                                // cursor now at 8000
    rig.computer->push(constant(100, 0.5f), rig.at(100));  // continues at 100: late
    rig.computer->push(constant(10, NAN), rig.at(9000));   // far from 200: placed at 9000
    rig.microphone->push({1.0f, 0.0f, 1.0f, 0.0f}, rig.at(9100), 16000, 2);
    rig.microphone->push(constant(10, 1.0f), 1.0);    // long before the start
    rig.microphone->push(constant(10, 1.0f), 1e300);  // absurdly late
    rig.engine->waitForQueue();
    auto result = rig.engine->stopAndWait(rig.at(9200));
    EXPECT_FALSE(result.failure);
    auto contents = readWave(wav);
    ASSERT_EQ(contents.samples.size(), 9200u);
    EXPECT_EQ(contents.samples[9000], 0);
    EXPECT_EQ(contents.samples[9100], 8192);  // mic (1+0)/2 = 0.5 at half gain
    auto report = readReport(wav);
    EXPECT_EQ(report["lateFrames"], nlohmann::json::array({100, 20}));
    EXPECT_EQ(report["deliveredFrames"], nlohmann::json::array({110, 2}));
  }
  {
    // Another sample rate is a format failure: the server was asked for 16 kHz.
    CaptureRig rig;
    rig.start();
    rig.microphone->push(constant(441, 0.1f), rig.at(0), 44100);
    rig.engine->waitForQueue();
    auto result = rig.engine->stopAndWait(rig.at(100));
    EXPECT_EQ(result.failure, formatText);
  }
  {
    // A microphone block larger than the hand-off allows is refused as a backlog overflow...
    CaptureRig rig;
    std::string wav = rig.start();
    rig.microphone->push(constant(70000, 0.1f), rig.at(0));
    rig.engine->waitForQueue();
    auto result = rig.engine->stopAndWait(rig.at(100));
    EXPECT_EQ(result.failure, failureText("сохранение: очередь переполнена"));
    EXPECT_EQ(readReport(wav)["deliveredFrames"], nlohmann::json::array({0, 0}));
    EXPECT_EQ(readReport(wav)["microphoneBackpressure"], true);
  }
  {
    // ...and a computer block of more than 262,144 bytes as a format the program cannot take.
    CaptureRig rig;
    rig.start();
    rig.computer->push(constant(65537, 0.1f), rig.at(0));
    rig.engine->waitForQueue();
    EXPECT_EQ(rig.engine->stopAndWait(rig.at(100)).failure, formatText);
  }
}

TEST(NativeAudioCapturePlacement, AComputerBacklogOverflowIsBackpressureToo) {
  CaptureRig rig;
  std::string wav = rig.start();
  // Hold the capture queue inside a checkpoint's free-space query while the computer delivers.
  std::mutex gate;
  std::unique_lock held(gate);
  std::atomic<bool> inside = false;
  rig.spaceHook = [&] {
    inside = true;
    std::lock_guard wait(gate);
  };
  rig.clock->advance(1.6);
  std::thread flusher([&] { rig.engine->flushNow(); });
  while (!inside) std::this_thread::yield();
  for (int i = 0; i <= NativeAudioCapture::maximumPendingBlocks; ++i) {
    rig.computer->push(constant(160, 0.1f), rig.at(i * 160));
  }
  held.unlock();
  flusher.join();
  rig.engine->waitForQueue();
  auto result = rig.engine->stopAndWait();
  EXPECT_EQ(result.failure, failureText("сохранение: очередь переполнена"));
  auto report = readReport(wav);
  EXPECT_EQ(report["microphoneBackpressure"], true);
}

TEST(NativeAudioCaptureReport, HoldsEveryFieldWithSortedKeys) {
  CaptureRig rig;
  std::string wav = rig.start();
  rig.computer->push(constant(16000, 0.25f), rig.at(0));
  rig.microphone->push(constant(16000, 0.25f), rig.at(0));
  rig.engine->waitForQueue();
  rig.clock->advance(1.5);
  rig.engine->flushNow();
  rig.engine->stopAndWait(rig.at(16000));
  std::string text = testing::readWholeFile(wav + ".json");
  EXPECT_EQ(text,
            "{\"channels\":1,\"deliveredFrames\":[16000,16000],\"failure\":null,\"interruptedAtSeconds\":1.0,"
            "\"lateFrames\":[0,0],\"microphoneBackpressure\":false,\"missingFrames\":[0,0],"
            "\"physicalAcceptance\":\"UNVERIFIED\",\"sampleRate\":16000,\"schema\":\"talvo.desktop.capture.v1\","
            "\"startedAt\":\"2026-12-07T09:30:00Z\",\"systemAudioProven\":false,\"terminalFailure\":false,"
            "\"timelineFrames\":16000,\"writeFailed\":false,\"writtenFrames\":16000}");
  struct stat info {};
  ASSERT_EQ(stat((wav + ".json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // The checkpoint after one second of audio asked for free space on the WAV itself.
  EXPECT_EQ(rig.freeSpaceQueries.back(), wav);
}

TEST(NativeAudioCaptureFlush, TrailsRealTimeByHalfASecondAndCheckpointsEverySecond) {
  CaptureRig rig;
  std::string wav = rig.start();
  rig.clock->advance(1.2);
  rig.engine->flushNow();
  EXPECT_EQ(readWave(wav).samples.size(), 11200u);  // (1.2 − 0.5) × 16000 appended
  EXPECT_EQ(readWave(wav).headerDataBytes, 0u);     // less than a second of audio: no checkpoint
  rig.clock->advance(0.4);
  rig.engine->flushNow();
  EXPECT_EQ(readWave(wav).headerDataBytes, 2u * 17600);
  rig.main.run();
  ASSERT_FALSE(rig.progress.empty());
  EXPECT_NEAR(rig.progress.back().elapsed, 1.6, 1e-9);
}

TEST(NativeAudioCaptureFailures, SleepEndsTheRecordingAtTheLastGoodFlush) {
  CaptureRig rig;
  std::string wav = rig.start();
  rig.clock->advance(1.0);
  rig.engine->flushNow();
  rig.clock->sleep(120);
  rig.clock->advance(0.1);
  rig.engine->flushNow();
  rig.clock->advance(0.1);
  rig.engine->flushNow();
  rig.main.run();
  ASSERT_EQ(rig.failures,
            std::vector<std::string>{failureText("запись прервана сном компьютера или задержкой сохранения")});
  auto result = rig.engine->stopAndWait();
  EXPECT_EQ(result.failure, rig.failures[0]);
  EXPECT_EQ(readWave(wav).samples.size(), 16000u);
  EXPECT_DOUBLE_EQ(readReport(wav)["interruptedAtSeconds"].get<double>(), 1.0);
}

TEST(NativeAudioCaptureFailures, SleepIsAlsoNoticedAtStop) {
  CaptureRig rig;
  std::string wav = rig.start();
  rig.clock->advance(2.0);
  rig.engine->flushNow();
  rig.clock->sleep(10);
  auto result = rig.engine->stopAndWait();
  EXPECT_EQ(result.failure, failureText("запись прервана сном компьютера или задержкой сохранения"));
  EXPECT_EQ(readWave(wav).samples.size(), 32000u);
}

TEST(NativeAudioCaptureFailures, TheLengthLimitEndsExactlyAtTheLimit) {
  // A 2-second limit stands in for 6 hours (see LongRecordingTest for the real one). At this
  // start time (start + 2) − start is 1.9999999999995453 s: the end must still be sample 32000.
  CaptureRig rig({false, 2}, 4094.122);
  std::string wav = rig.start();
  rig.clock->advance(1.9);
  rig.engine->flushNow();
  rig.clock->advance(0.35);
  rig.engine->flushNow();
  rig.clock->advance(1);
  rig.engine->flushNow();
  rig.main.run();
  EXPECT_EQ(rig.failures, std::vector<std::string>{failureText("достигнута длительность записи 6 часов")});
  rig.engine->stopAndWait();
  auto contents = readWave(wav);
  EXPECT_EQ(contents.samples.size(), 32000u);
  EXPECT_EQ(contents.headerDataBytes, 64000u);
  EXPECT_DOUBLE_EQ(readReport(wav)["interruptedAtSeconds"].get<double>(), 2.0);
}

TEST(NativeAudioCaptureFailures, ASilentSourceWarnsAfterThreeSecondsAndFailsAfterFive) {
  CaptureRig rig;
  rig.start();
  auto feedMicrophone = [&](double seconds) {
    for (int i = 0; i < static_cast<int>(seconds * 10); ++i) {
      std::int64_t frame = std::llround((rig.clock->monotonicSeconds() - rig.startHost) * 16000);
      rig.microphone->push(constant(1600, 0.3f), rig.at(frame));
      rig.engine->waitForQueue();
      rig.clock->advance(0.1);
      rig.engine->flushNow();
    }
  };
  feedMicrophone(2.95);
  rig.main.run();
  EXPECT_FALSE(rig.progress.back().warning);
  feedMicrophone(0.1);
  rig.main.run();
  EXPECT_EQ(rig.progress.back().warning, "Звук компьютера ещё не подтверждён. Включите тестовый звук.");
  EXPECT_FLOAT_EQ(rig.progress.back().microphone, 0.3f);
  EXPECT_TRUE(rig.failures.empty());
  feedMicrophone(2.0);
  rig.main.run();
  EXPECT_EQ(rig.failures, std::vector<std::string>{failureText("звук компьютера: нет данных")});
}

TEST(NativeAudioCaptureFailures, ASourceThatStopsDeliveringIsInterruptedAfterOneAndAHalfSeconds) {
  CaptureRig rig;
  std::string wav = rig.start();
  // Steps of 1/8 s keep every clock reading exact, so the 1.5 s boundary is sharp.
  for (int i = 0; i < 10; ++i) {
    rig.computer->push(constant(2000, 0.2f), rig.at(i * 2000));
    rig.microphone->push(constant(2000, 0.4f), rig.at(i * 2000));
    rig.engine->waitForQueue();
    rig.clock->advance(0.125);
    rig.engine->flushNow();
  }
  // Only the computer goes on; the microphone last delivered at 9/8 s.
  for (int i = 10; i < 30; ++i) {
    rig.computer->push(constant(2000, 0.2f), rig.at(i * 2000));
    rig.engine->waitForQueue();
    rig.clock->advance(0.125);
    rig.engine->flushNow();
    rig.main.run();
    EXPECT_EQ(rig.failures.empty(), i < 21) << "at step " << i;
  }
  EXPECT_EQ(rig.failures, std::vector<std::string>{failureText("микрофон прерван")});
  EXPECT_FLOAT_EQ(rig.progress.back().microphone, 0.0f);
  // Nothing more is accepted after the failure, yet the file keeps what was captured before.
  auto result = rig.engine->stopAndWait();
  EXPECT_EQ(result.failure, rig.failures[0]);
  auto report = readReport(wav);
  EXPECT_EQ(report["deliveredFrames"], nlohmann::json::array({22 * 2000, 10 * 2000}));
  EXPECT_EQ(report["terminalFailure"], true);
}

TEST(NativeAudioCaptureFailures, ALostSourceIsReportedAtOnce) {
  CaptureRig rig;
  rig.start();
  rig.computer->push(constant(1600, 0.2f), rig.at(0));
  rig.computer->lose();
  rig.engine->waitForQueue();
  rig.main.run();
  EXPECT_EQ(rig.failures, std::vector<std::string>{failureText("звук компьютера прерван")});
}

TEST(NativeAudioCaptureFailures, LowDiskAtACheckpointStopsWritingButKeepsAValidFile) {
  for (bool noFigure : {false, true}) {
    CaptureRig rig;
    std::string wav = rig.start();
    rig.freeSpace = noFigure ? std::nullopt : std::optional<std::uint64_t>((32u << 20) - 1);  // under 32 MiB
    rig.clock->advance(1.4);
    rig.engine->flushNow();  // 14400 frames: no checkpoint yet, no query
    rig.main.run();
    EXPECT_TRUE(rig.failures.empty());
    rig.clock->advance(0.2);
    rig.engine->flushNow();  // 17600 frames: checkpoint, then the query fails
    rig.clock->advance(1.0);
    rig.engine->flushNow();  // writes nothing more
    rig.main.run();
    EXPECT_EQ(rig.failures, std::vector<std::string>{diskText});
    auto result = rig.engine->stopAndWait();
    EXPECT_EQ(result.wav, wav);
    EXPECT_EQ(result.failure, diskText);
    auto contents = readWave(wav);
    EXPECT_EQ(contents.samples.size(), 17600u);
    EXPECT_EQ(contents.headerDataBytes, 2u * 17600);
    EXPECT_EQ(readReport(wav)["writeFailed"], true);
  }
}

TEST(NativeAudioCaptureFailures, AFailedSyncAtACheckpointEndsTheRecordingAndKeepsEverySample) {
  CaptureRig rig;
  std::string wav = rig.start();
  rig.computer->push(constant(24000, 1.0f), rig.at(0));
  rig.clock->advance(1.2);
  rig.engine->flushNow();  // 11200 frames, no checkpoint yet
  {
    SystemCallFault fault(SystemCall::fsync, 1, EIO);
    rig.clock->advance(0.4);
    rig.engine->flushNow();  // 17600 frames, and the checkpoint's fsync fails
    EXPECT_TRUE(fault.struck());
  }
  rig.clock->advance(0.5);
  rig.engine->flushNow();  // writes nothing more
  rig.main.run();
  const std::string writeText = FileError::describe(FileErrorKind::unknownWrite);
  EXPECT_EQ(rig.failures, std::vector<std::string>{writeText});
  auto result = rig.engine->stopAndWait();
  EXPECT_EQ(result.wav, wav);
  EXPECT_EQ(result.failure, writeText);
  auto contents = readWave(wav);
  EXPECT_EQ(contents.headerDataBytes, 2u * 17600);
  EXPECT_EQ(contents.samples, std::vector<std::int16_t>(17600, 16384));
  EXPECT_EQ(readReport(wav)["writeFailed"], true);
}

TEST(NativeAudioCaptureStop, CompletesThroughTheMainThreadAndIgnoresLaterAudio) {
  CaptureRig rig;
  std::string wav = rig.start();
  rig.computer->push(constant(8000, 0.5f), rig.at(0));
  rig.engine->waitForQueue();
  rig.clock->advance(0.25);
  std::optional<std::string> file;
  bool completed = false;
  rig.engine->stop([&](const std::optional<std::string>& f, const std::optional<std::string>& failure) {
    file = f;
    completed = true;
    EXPECT_FALSE(failure);
  });
  for (int i = 0; i < 2000 && !completed; ++i) {
    rig.main.run();
    usleep(1000);
  }
  ASSERT_TRUE(completed);
  EXPECT_EQ(file, wav);
  EXPECT_EQ(rig.computer->stops, 1);
  EXPECT_EQ(rig.microphone->stops, 1);
  EXPECT_EQ(readWave(wav).samples.size(), 4000u);  // the audio after the stop is not written
  EXPECT_FALSE(rig.computer->push(constant(10, 0.5f), rig.at(9000)));
}

// Halves the microphone and counts the frames it was given (on the capture queue only).
class HalvingCanceller final : public EchoCanceller {
 public:
  explicit HalvingCanceller(std::shared_ptr<std::atomic<int>> frames) : frames_(std::move(frames)) {}
  void process(std::span<const float>, std::span<float> microphone) noexcept override {
    for (float& value : microphone) value *= 0.5f;
    *frames_ += 1;
  }
  void preview(std::span<const float>, std::span<const float>) noexcept override {}
  std::size_t latency() const noexcept override { return 0; }

 private:
  std::shared_ptr<std::atomic<int>> frames_;
};

TEST(NativeAudioCaptureEchoCancellation, TheMicrophoneGoesThroughTheCancellerBeforeTheMix) {
  auto frames = std::make_shared<std::atomic<int>>(0);
  NativeAudioCapture::Options options;
  options.flushTimer = false;
  options.echoCanceller = [frames] { return std::make_unique<HalvingCanceller>(frames); };
  CaptureRig rig(options);
  std::string wav = rig.start();
  rig.computer->push(constant(32000, 0.0f), rig.at(0));
  rig.microphone->push(constant(32000, 0.5f), rig.at(0));
  rig.engine->waitForQueue();
  rig.clock->advance(1.205);
  rig.engine->flushNow();
  const auto written = readWave(wav).samples;
  EXPECT_EQ(written, std::vector<std::int16_t>(11280, 4096));  // 0.5 × 0.25, the mix rule unchanged
  EXPECT_EQ(frames->load(), 71);                               // whole frames of 160 up to 11280
  rig.clock->advance(0.1);
  auto result = rig.engine->stopAndWait();
  EXPECT_FALSE(result.failure);
  EXPECT_EQ(readWave(wav).samples.size(), 20880u);  // the final flush drains to the end
  EXPECT_EQ(frames->load(), 131);
}

TEST(NativeAudioCaptureEchoCancellation, ACancellerThatCannotStartLeavesTheRecordingAsItWas) {
  NativeAudioCapture::Options options;
  options.flushTimer = false;
  options.echoCanceller = []() -> std::unique_ptr<EchoCanceller> { throw std::runtime_error("no library"); };
  CaptureRig rig(options);
  std::string wav = rig.start();
  rig.computer->push(constant(16000, 0.0f), rig.at(0));
  rig.microphone->push(constant(16000, 0.5f), rig.at(0));
  rig.engine->waitForQueue();
  rig.clock->advance(1.205);
  rig.engine->flushNow();
  EXPECT_EQ(readWave(wav).samples, std::vector<std::int16_t>(11280, 8192));
  rig.engine->stopAndWait();
  rig.main.run();
  EXPECT_TRUE(rig.failures.empty());
}

// The real limit: 6 hours of (silent) audio, 691 MB on disk. Runs when the temporary folder has
// room to spare (or TALVO_LONG_TESTS=1 insists).
TEST(LongRecordingTest, SixHoursEndAtExactly345600000Samples) {
  struct statvfs volume {};
  bool roomy = statvfs(std::filesystem::temp_directory_path().c_str(), &volume) == 0 &&
               static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize > 4ULL << 30;
  if (std::getenv("TALVO_LONG_TESTS") == nullptr && !roomy) {
    GTEST_SKIP() << "writes 691 MB and the temporary folder has less than 4 GiB free";
  }
  CaptureRig rig({false, 21600}, 123456.789);
  std::string wav = rig.start();
  // Host time moves 100 s per flush while the continuous clock moves 1 s (no "sleep"); a
  // one-frame block from each source keeps both alive.
  for (int i = 0; i < 220; ++i) {
    rig.clock->advanceMonotonic(100);
    rig.clock->sleep(1);
    std::int64_t frame = std::llround((rig.clock->monotonicSeconds() - rig.startHost) * 16000);
    rig.computer->push(constant(1, 0.1f), rig.at(frame));
    rig.microphone->push(constant(1, 0.1f), rig.at(frame));
    rig.engine->waitForQueue();
    rig.engine->flushNow();
  }
  rig.main.run();
  EXPECT_EQ(rig.failures, std::vector<std::string>{failureText("достигнута длительность записи 6 часов")});
  rig.engine->stopAndWait();
  struct stat info {};
  ASSERT_EQ(stat(wav.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 44 + 2 * 345600000LL);
  auto report = readReport(wav);
  EXPECT_EQ(report["writtenFrames"], 345600000);
  EXPECT_EQ(report["interruptedAtSeconds"], 21600.0);
}

}  // namespace
}  // namespace talvo
