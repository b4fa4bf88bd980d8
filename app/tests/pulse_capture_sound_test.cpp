// The capture engine on a real sound server (scripts/with-desktop-env provides one with a null
// sink "speakers" as the default output and a virtual microphone fed through sink "micfeed").
// Tones and clicks are played into both, recorded through the real PulseAudio sources, and found
// again in the WAV. The server-loss test starts a private server of its own and kills it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "app/capture/capture_failure.h"
#include "app/capture/free_space.h"
#include "app/capture/native_audio_capture.h"
#include "app/capture/pulse_capture_source.h"
#include "app/tests/capture_fakes.h"
#include "app/tests/private_sound_server.h"
#include "app/tests/pulse_test_player.h"
#include "core/system/clock.h"
#include "core/values/recording_id.h"

extern char** environ;

namespace talvo {
namespace {

using testing::PrivateSoundServer;
using testing::PulseTestPlayer;
using testing::readReport;
using testing::readWave;
using testing::tonePower;

using testing::envOr;

// The engine with the real sources and clocks; callbacks run on a queue of their own.
struct RealRecording {
  explicit RealRecording(PulseCaptureSource::Stamping stamping = PulseCaptureSource::Stamping::blockDuration,
                         const std::string& server = {}) {
    auto [computer, microphone] = PulseCaptureSource::makePair(stamping, server);
    engine = std::make_unique<NativeAudioCapture>(std::move(computer), std::move(microphone), Clock::system(),
                                                  availableBytes,
                                                  [this](std::function<void()> task) { main.async(std::move(task)); });
    engine->onFailure = [this](const std::string& text) {
      std::lock_guard lock(mutex);
      failures.push_back(text);
    };
  }
  ~RealRecording() {
    // Tasks the engine posted before its stop refer to it: let them run while it exists.
    engine->stopAndWait();
    main.sync([] {});
  }
  std::vector<std::string> failuresSoFar() {
    std::lock_guard lock(mutex);
    return failures;
  }

  testing::TempDirectory directory;
  SerialQueue main{"test.main"};
  std::mutex mutex;
  std::vector<std::string> failures;
  std::unique_ptr<NativeAudioCapture> engine;  // last: goes before the queue it posts to
};

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Onsets (sample index) of short bursts of `frequency`: where the power in a 2 ms window first
// rises above 30% of the loudest window, at least 0.2 s after the previous onset.
std::vector<std::size_t> burstOnsets(const std::vector<std::int16_t>& samples, double frequency) {
  constexpr std::size_t window = 32;
  std::vector<double> power(samples.size() > window ? samples.size() - window : 0);
  for (std::size_t i = 0; i < power.size(); ++i) {
    power[i] = tonePower(samples, i, window, frequency);
  }
  double loudest = power.empty() ? 0 : *std::max_element(power.begin(), power.end());
  std::vector<std::size_t> onsets;
  for (std::size_t i = 0; i < power.size(); ++i) {
    if (power[i] > 0.3 * loudest && (onsets.empty() || i - onsets.back() > 3200)) {
      onsets.push_back(i);
    }
  }
  return onsets;
}

TEST(PulseCaptureSound, TonesFromTheComputerAndTheMicrophoneBothLandInTheRecording) {
  REQUIRE_SOUND_SERVER();
  PulseTestPlayer player;
  player.prepare(envOr("TALVO_TEST_SPEAKERS_SINK", "speakers"), PulseTestPlayer::tone(440, 9));
  player.prepare(envOr("TALVO_TEST_MIC_FEED_SINK", "micfeed"), PulseTestPlayer::tone(1000, 9));
  player.play();

  RealRecording recording;
  std::string wav = recording.engine->start(recording.directory.path(), makeRecordingId());
  const double started = monotonicSeconds();
  sleepSeconds(5);
  const double stopped = monotonicSeconds();
  auto result = recording.engine->stopAndWait(stopped);
  ASSERT_EQ(result.wav, wav);
  EXPECT_FALSE(result.failure) << *result.failure;

  auto contents = readWave(wav);
  const double seconds = static_cast<double>(contents.samples.size()) / 16000;
  EXPECT_NEAR(seconds, stopped - started, 0.2);
  EXPECT_EQ(contents.headerDataBytes, contents.samples.size() * 2);

  // The last three seconds, after the server's start-up settling.
  const std::size_t first = 32000;
  const std::size_t count = contents.samples.size() - first;
  const double p440 = tonePower(contents.samples, first, count, 440);
  const double p1000 = tonePower(contents.samples, first, count, 1000);
  const double p700 = tonePower(contents.samples, first, count, 700);
  EXPECT_GT(p440, 100 * p700) << "computer tone missing";
  EXPECT_GT(p1000, 100 * p700) << "microphone tone missing";

  auto report = readReport(wav);
  const std::int64_t timeline = report["timelineFrames"];
  EXPECT_EQ(report["writtenFrames"], timeline);
  EXPECT_EQ(timeline, static_cast<std::int64_t>(contents.samples.size()));
  EXPECT_EQ(report["terminalFailure"], false);
  EXPECT_EQ(report["microphoneBackpressure"], false);
  for (int s = 0; s < 2; ++s) {
    const std::int64_t delivered = report["deliveredFrames"][s];
    const std::int64_t missing = report["missingFrames"][s];
    // Every drained position was either delivered or missing; a little more may have been
    // delivered beyond the end.
    EXPECT_GE(delivered, timeline - missing) << "source " << s;
    EXPECT_LE(delivered, timeline - missing + 16000) << "source " << s;
    EXPECT_LT(missing, 2 * 16000) << "source " << s;  // the server's start-up gap at most
  }
}

// One 5 ms burst into each sink at the same moment (1 kHz on the computer, 5 kHz on the
// microphone), three times; the median distance between the two onsets in the mix is the
// alignment error of the whole path. Both ways of dating blocks are measured and printed.
TEST(PulseCaptureSound, ClicksPlayedTogetherLandTogether) {
  REQUIRE_SOUND_SERVER();
  using Stamping = PulseCaptureSource::Stamping;
  for (auto stamping : {Stamping::blockDuration, Stamping::arrival, Stamping::latency}) {
    const char* name = stamping == Stamping::latency   ? "latency"
                       : stamping == Stamping::arrival ? "arrival only"
                                                       : "arrival + latency correction";
    RealRecording recording(stamping);
    std::string wav = recording.engine->start(recording.directory.path(), makeRecordingId());
    // Past the server's start-up settling (latency readings settle over ~2 s) and the averaging
    // of the device latency.
    sleepSeconds(5.0);
    {
      PulseTestPlayer player;
      const std::vector<double> at{0.2, 0.9, 1.6};
      player.prepare(envOr("TALVO_TEST_SPEAKERS_SINK", "speakers"), PulseTestPlayer::bursts(1000, 2.2, at));
      player.prepare(envOr("TALVO_TEST_MIC_FEED_SINK", "micfeed"), PulseTestPlayer::bursts(5000, 2.2, at));
      player.play();
      sleepSeconds(2.6);
    }
    auto result = recording.engine->stopAndWait();
    ASSERT_TRUE(result.wav);
    EXPECT_FALSE(result.failure) << *result.failure;
    auto contents = readWave(wav);
    auto computer = burstOnsets(contents.samples, 1000);
    auto microphone = burstOnsets(contents.samples, 5000);
    auto list = [](const std::vector<std::size_t>& onsets) {
      std::string text;
      for (std::size_t onset : onsets) text += std::to_string(onset / 16.0) + " ms ";
      return text;
    };
    if (stamping != Stamping::blockDuration && (computer.size() != 3u || microphone.size() != 3u)) {
      // The other datings are only measured for comparison; on PipeWire raw arrival dating can
      // overlap blocks enough to overwrite a burst. That is a finding about them, not a fault.
      std::printf("alignment (%s stamping): a burst was lost (computer at %s, microphone at %s)\n", name,
                  list(computer).c_str(), list(microphone).c_str());
      continue;
    }
    ASSERT_EQ(computer.size(), 3u) << name << ": computer bursts at " << list(computer);
    ASSERT_EQ(microphone.size(), 3u) << name << ": microphone bursts at " << list(microphone);
    std::vector<double> offsets;
    for (std::size_t i = 0; i < 3; ++i) {
      offsets.push_back((static_cast<double>(microphone[i]) - static_cast<double>(computer[i])) / 16.0);
    }
    std::vector<double> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[1];
    std::printf("alignment (%s stamping): microphone minus computer %.2f ms (clicks: %.2f, %.2f, %.2f ms)\n", name,
                median, offsets[0], offsets[1], offsets[2]);
    ::testing::Test::RecordProperty(std::string("alignment_ms_") + name, std::to_string(median));
    if (stamping == PulseCaptureSource::Stamping::blockDuration) {
      EXPECT_LT(std::abs(median), 20.0) << "the program's stamping misaligns the sources";
    }
  }
}

TEST(PulseCaptureSound, AKilledServerEndsTheRecordingWithAnInterruptedSourceAndAValidFile) {
  REQUIRE_SOUND_SERVER();  // pulseaudio must be installed and usable here as well
  PrivateSoundServer server;
  RealRecording recording(PulseCaptureSource::Stamping::blockDuration, server.address());
  {
    PulseTestPlayer player(server.address());
    player.prepare("speakers", PulseTestPlayer::tone(440, 5));
    player.prepare("micfeed", PulseTestPlayer::tone(1000, 5));
    player.play();
    std::string wav = recording.engine->start(recording.directory.path(), makeRecordingId());
    sleepSeconds(2);
    server.kill();
    for (int i = 0; i < 500 && recording.failuresSoFar().empty(); ++i) {
      usleep(10000);
    }
    auto failures = recording.failuresSoFar();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_TRUE(failures[0] == testing::failureText("звук компьютера прерван") ||
                failures[0] == testing::failureText("микрофон прерван"))
        << failures[0];
    auto result = recording.engine->stopAndWait();
    ASSERT_EQ(result.wav, wav);
    EXPECT_EQ(result.failure, failures[0]);
    auto contents = readWave(wav);
    EXPECT_EQ(contents.headerDataBytes, contents.samples.size() * 2);
    EXPECT_GT(contents.samples.size(), 16000u);
    EXPECT_EQ(readReport(wav)["failure"], failures[0]);
  }
}

TEST(PulseCaptureSound, ANewDefaultOutputAndInputAreFollowedWithoutEndingTheRecording) {
  REQUIRE_SOUND_SERVER();
  PrivateSoundServer server;
  RealRecording recording(PulseCaptureSource::Stamping::blockDuration, server.address());
  PulseTestPlayer player(server.address());
  player.prepare("speakers", PulseTestPlayer::tone(440, 8));
  player.prepare("micfeed", PulseTestPlayer::tone(1000, 8));
  player.prepare("headphones", PulseTestPlayer::tone(660, 8));
  player.prepare("headsetfeed", PulseTestPlayer::tone(1500, 8));
  player.play();
  std::string wav = recording.engine->start(recording.directory.path(), makeRecordingId());
  sleepSeconds(2.5);
  player.setDefaults("headphones", "headsetmic");
  sleepSeconds(2.5);
  auto result = recording.engine->stopAndWait();
  ASSERT_EQ(result.wav, wav);
  EXPECT_FALSE(result.failure) << *result.failure;
  auto contents = readWave(wav);
  ASSERT_GT(contents.samples.size(), 4u * 16000);
  auto strongest = [&](std::size_t first, std::size_t count, std::vector<double> frequencies) {
    std::vector<double> power;
    for (double f : frequencies) power.push_back(tonePower(contents.samples, first, count, f));
    return power;
  };
  // Before the switch: speakers and the first microphone; after it: the headset only.
  auto before = strongest(16000, 16000, {440, 1000, 660, 1500});
  auto after = strongest(contents.samples.size() - 24000, 16000, {440, 1000, 660, 1500});
  EXPECT_GT(before[0], 100 * before[2]);
  EXPECT_GT(before[1], 100 * before[3]);
  EXPECT_GT(after[2], 100 * after[0]) << "the computer's sound did not follow the new output";
  EXPECT_GT(after[3], 100 * after[1]) << "the microphone did not follow the new input";
}

// With no microphone the server's default input is the speakers' monitor: recording it as the
// microphone would put the computer's sound in twice. The start fails naming the microphone.
TEST(PulseCaptureSound, AMonitorIsNeverTakenForTheMicrophone) {
  REQUIRE_SOUND_SERVER();
  PrivateSoundServer server(PrivateSoundServer::Microphones::none);
  RealRecording recording(PulseCaptureSource::Stamping::blockDuration, server.address());
  try {
    recording.engine->start(recording.directory.path(), makeRecordingId());
    FAIL() << "recorded a monitor as the microphone";
  } catch (const CaptureFailure& failure) {
    EXPECT_EQ(failure.name(), "микрофон");
    EXPECT_EQ(failure.code(), -PA_ERR_NOENTITY);
  }
}

// The user (or the server) makes a monitor the default input during a recording: it ends.
TEST(PulseCaptureSound, AMicrophoneThatBecomesAMonitorEndsTheRecording) {
  REQUIRE_SOUND_SERVER();
  PrivateSoundServer server;
  RealRecording recording(PulseCaptureSource::Stamping::blockDuration, server.address());
  PulseTestPlayer player(server.address());
  std::string wav = recording.engine->start(recording.directory.path(), makeRecordingId());
  sleepSeconds(1);
  player.setDefaults("speakers", "speakers.monitor");
  for (int i = 0; i < 300 && recording.failuresSoFar().empty(); ++i) {
    usleep(10000);
  }
  EXPECT_EQ(recording.failuresSoFar(), std::vector<std::string>{testing::failureText("микрофон прерван")});
  EXPECT_EQ(recording.engine->stopAndWait().wav, wav);
}

}  // namespace
}  // namespace talvo
