// The microphone's echo cancellation on the real sound server, with an echo path like a room's:
// the server's own loopback feeds the output's sound ("speakers") back into the virtual
// microphone's feed 40 ms (then 200 ms) later and 10 dB quieter (scripts/echo-path). The far end
// is noise bursts made with sox, played to the output; the near end is speech made with espeak-ng,
// played into the microphone's feed. The engine records with the canceller; "today's" recording
// without it is the same capture mixed from the canceller's input (recordAndMeasure says why),
// so every figure compares like with like.
//
// How it is measured: app/tests/echo_measurement.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <thread>

#include "app/capture/echo_canceller_factory.h"
#include "app/capture/free_space.h"
#include "app/capture/native_audio_capture.h"
#include "app/capture/pulse_capture_source.h"
#include "app/tests/capture_fakes.h"
#include "app/tests/echo_measurement.h"
#include "app/tests/pulse_test_player.h"
#include "core/system/clock.h"
#include "core/values/recording_id.h"

namespace talvo {
namespace {

using testing::envOr;
using testing::PulseTestPlayer;
using testing::readWave;

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// One engine on the real sources with the canceller, whose input is kept in `input` (to measure
// against, and to replay offline); callbacks run on a queue of their own.
struct Recording {
  Recording() {
    auto [computer, microphone] = PulseCaptureSource::makePair();
    NativeAudioCapture::Options options;
    options.echoCanceller = [path = input]() -> std::unique_ptr<EchoCanceller> {
      return std::make_unique<testing::RecordingEchoCanceller>(makeEchoCanceller(), path);
    };
    engine = std::make_unique<NativeAudioCapture>(
        std::move(computer), std::move(microphone), Clock::system(), availableBytes,
        [this](std::function<void()> task) { main.async(std::move(task)); }, options);
  }
  ~Recording() {
    engine->stopAndWait();
    main.sync([] {});
  }
  testing::TempDirectory directory;
  const std::string input = directory.file("canceller-input.f32");
  SerialQueue main{"test.main"};
  std::unique_ptr<NativeAudioCapture> engine;
};

// The loopback of scripts/echo-path, removed again at the end of the scope.
class EchoPath {
 public:
  // From the output `speakers` (the test desktop's by default).
  explicit EchoPath(int latencyMs, const std::string& speakers = {}) {
    const std::string command = (speakers.empty() ? std::string() : "TALVO_TEST_SPEAKERS_SINK='" + speakers + "' ") +
                                std::string(TALVO_SOURCE_DIR) + "/scripts/echo-path on " + std::to_string(latencyMs);
    FILE* pipe = popen(command.c_str(), "r");
    char line[64] = {};
    if (pipe == nullptr || std::fgets(line, sizeof line, pipe) == nullptr) {
      if (pipe != nullptr) pclose(pipe);
      throw std::runtime_error("scripts/echo-path did not set up the loopback");
    }
    module_ = std::atoi(line);
    if (pclose(pipe) != 0) throw std::runtime_error("scripts/echo-path failed");
  }
  ~EchoPath() { run(std::string(TALVO_SOURCE_DIR) + "/scripts/echo-path off " + std::to_string(module_)); }

 private:
  int module_ = -1;
};

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Keeps the last `seconds` of a recording (all of it with 0).
std::vector<std::int16_t> lastSeconds(const std::vector<std::int16_t>& samples, double seconds) {
  const auto count =
      seconds == 0 ? samples.size() : std::min(samples.size(), static_cast<std::size_t>(seconds * 16000));
  return {samples.end() - static_cast<std::ptrdiff_t>(count), samples.end()};
}

// Records with the canceller while `play` plays (4.5 s after the start: the dating of blocks by
// the device latency settles over about 2 s, and until then the echo moves against the
// reference by milliseconds), and measures the last `measuredSeconds` (0: all). The recording
// without the canceller is the same capture's (the canceller's input, mixed as the engine mixes):
// under load a sound server drops or stretches pieces of a stream, and a second engine would
// get them elsewhere, so the two would not line up. An overloaded server may also stretch the
// played schedule itself; then the uncancelled echo is not its 10 dB under the bursts, the run
// measures nothing and is done again (three times at most), as is one whose recording the
// server ended.
testing::EchoFigures recordAndMeasure(const std::string& name, const std::function<void()>& play,
                                      double measuredSeconds) {
  for (int attempt = 1;; ++attempt) {
    Recording with;
    const std::string wav = with.engine->start(with.directory.path(), makeRecordingId());
    sleepSeconds(4.5);
    play();
    const auto result = with.engine->stopAndWait();
    EXPECT_EQ(result.wav, wav);
    // TALVO_ECHO_RECORD_DIR: where to keep the canceller's input of each run, to replay it
    // offline (app/tests/echo_replay_test.cpp).
    static int runs = 0;
    const std::string keep = envOr("TALVO_ECHO_RECORD_DIR", "");
    if (!keep.empty()) {
      run("cp '" + with.input + "' '" + keep + "/echo-" + name + "-" + std::to_string(::getpid()) + "-" +
          std::to_string(++runs) + ".f32'");
    }
    std::optional<testing::EchoFigures> figures;
    try {
      figures = testing::measureEcho(lastSeconds(readWave(wav).samples, measuredSeconds),
                                     lastSeconds(testing::uncancelledMix(with.input), measuredSeconds));
    } catch (const std::exception& error) {
      std::printf("%s: %s\n", name.c_str(), error.what());
    }
    if (figures && figures->tailFirstSecond < 20) {
      std::printf("%s: %s\n", name.c_str(), testing::describeDelayFinding(with.input).c_str());
    }
    // A recording the overloaded server ended (a source lost) measures nothing either.
    const bool intact = !result.failure && figures && figures->tailToday > 8 && figures->tailToday < 12;
    if (intact || attempt == 3) {
      EXPECT_FALSE(result.failure) << *result.failure;
      if (!intact) ADD_FAILURE() << "the played schedule did not come through in three runs";
      return figures.value_or(testing::EchoFigures{});
    }
    std::printf(
        "%s: the played schedule did not come through (%s; echo %.1f dB under the bursts without "
        "cancellation, not about 10): the sound server was overloaded; again\n",
        name.c_str(), result.failure ? result.failure->c_str() : "recorded", figures ? figures->tailToday : 0.0);
  }
}

class EchoCancellationSound : public ::testing::TestWithParam<int> {};

TEST_P(EchoCancellationSound, TheFarEndsEchoLeavesTheRecordingAndTheNearEndStays) {
  REQUIRE_SOUND_SERVER();
  TALVO_REQUIRE_COMPONENT(run("command -v sox espeak-ng >/dev/null"), "sox and espeak-ng are needed");
  const int delayMs = GetParam();
  testing::TempDirectory work;
  const testing::EchoSignals signals = testing::makeEchoSignals(work);
  EchoPath echoPath(delayMs);

  const testing::EchoFigures f = recordAndMeasure(
      std::to_string(delayMs) + "ms",
      [&] {
        PulseTestPlayer player;
        player.prepare(envOr("TALVO_TEST_SPEAKERS_SINK", "speakers"), signals.farEnd);
        player.prepare(envOr("TALVO_TEST_MIC_FEED_SINK", "micfeed"), signals.nearEnd);
        player.play();
        sleepSeconds(testing::echoSignalSeconds + 0.3 + delayMs / 1000.0);
      },
      0);
  std::printf(
      "echo path %d ms: echo tail under the bursts %.1f dB in the first second, %.1f dB from 2 s on (%.1f dB "
      "without cancellation); near end %+.2f dB alone, %+.2f dB while both talk\n",
      delayMs, f.tailFirstSecond, f.tailAdapted, f.tailToday, f.nearAlone, f.doubleTalk);
  RecordProperty("tail_first_second_db", std::to_string(f.tailFirstSecond));
  RecordProperty("tail_adapted_db", std::to_string(f.tailAdapted));
  RecordProperty("near_alone_db", std::to_string(f.nearAlone));
  RecordProperty("double_talk_db", std::to_string(f.doubleTalk));
  // The targets: 20 dB in the first second, 30 dB from 2 s on (the replays of recorded runs give
  // 26 and 44 dB at the least, see bench/README.md).
  EXPECT_GE(f.tailFirstSecond, 20.0);
  EXPECT_GE(f.tailAdapted, 30.0);
  EXPECT_LE(std::abs(f.nearAlone), 1.0);
  EXPECT_LE(std::abs(f.doubleTalk), 6.0);
}

// A second output on the shared test server ("speakers2"), removed again at the end of the scope,
// when the test desktop's own output is the default again.
class SecondOutput {
 public:
  SecondOutput() {
    FILE* pipe = popen("pactl load-module module-null-sink sink_name=speakers2 rate=48000", "r");
    char line[64] = {};
    if (pipe == nullptr || std::fgets(line, sizeof line, pipe) == nullptr) {
      if (pipe != nullptr) pclose(pipe);
      throw std::runtime_error("pactl could not make a second output");
    }
    module_ = std::atoi(line);
    if (pclose(pipe) != 0) throw std::runtime_error("pactl could not make a second output");
    makeDefault(envOr("TALVO_TEST_SPEAKERS_SINK", "speakers"));  // a server may switch to a new output
  }
  ~SecondOutput() {
    try {
      makeDefault(envOr("TALVO_TEST_SPEAKERS_SINK", "speakers"));
    } catch (const std::exception&) {
    }
    run("pactl unload-module " + std::to_string(module_));
  }
  static void makeDefault(const std::string& sink) {
    if (!run("pactl set-default-sink '" + sink + "'")) throw std::runtime_error("pactl set-default-sink failed");
  }

 private:
  int module_ = -1;
};

// The default output changes mid-recording, from one with an echo 40 ms behind to one with an
// echo 200 ms behind: the computer's sound follows it, the recording goes on, and once the
// canceller has adapted to the new echo it is lower (see the bound below). Far-end bursts
// play on the first output for 3 s; then, 2.5 s after the switch, the whole schedule of the test
// above plays on the new one, and only that part of the recordings is measured.
TEST(EchoCancellationSoundSwitch, TheEchoOfANewDefaultOutputIsCancelledToo) {
  REQUIRE_SOUND_SERVER();
  TALVO_REQUIRE_COMPONENT(run("command -v sox espeak-ng pactl >/dev/null"), "sox, espeak-ng and pactl are needed");
  testing::TempDirectory work;
  const testing::EchoSignals signals = testing::makeEchoSignals(work);
  SecondOutput second;
  EchoPath firstPath(40);
  EchoPath secondPath(200, "speakers2");

  // From the middle of the quiet 2.5 s after the switch on: the second output's part.
  const testing::EchoFigures f = recordAndMeasure(
      "switch",
      [&] {
        {
          PulseTestPlayer player;
          const auto prelude = static_cast<std::size_t>(3 * testing::echoPlayRate);
          player.prepare(envOr("TALVO_TEST_SPEAKERS_SINK", "speakers"),
                         std::vector<float>(signals.farEnd.begin(), signals.farEnd.begin() + prelude));
          player.play();
          sleepSeconds(3.5);
        }
        SecondOutput::makeDefault("speakers2");
        sleepSeconds(2.5);
        PulseTestPlayer player;
        player.prepare("speakers2", signals.farEnd);
        player.prepare(envOr("TALVO_TEST_MIC_FEED_SINK", "micfeed"), signals.nearEnd);
        player.play();
        sleepSeconds(testing::echoSignalSeconds + 0.5);
      },
      testing::echoSignalSeconds + 0.5 + 1.2);
  std::printf(
      "new default output (echo 200 ms, was 40 ms): echo tail under the bursts %.1f dB in the first second, %.1f dB "
      "from 2 s on (%.1f dB without cancellation); near end %+.2f dB alone, %+.2f dB while both talk\n",
      f.tailFirstSecond, f.tailAdapted, f.tailToday, f.nearAlone, f.doubleTalk);
  // (The new output's bursts are in the recording, at their level: the computer's sound followed
  // it; recordAndMeasure checks that the uncancelled echo lies about 10 dB under them.) The new
  // path's echo is taken out, though not always as far as on a path heard from the start: most
  // runs reach 45-65 dB, but in 2 of 13 on PipeWire bursts of the new path kept the mean tail at
  // 14-23 dB (the replay of one: the found delay moved again while the library adapted). The
  // bound shows the canceller works on the new output; the figures are printed.
  EXPECT_GE(f.tailAdapted, f.tailToday + 3.0) << "the echo of the new output was not cancelled";
  EXPECT_LE(std::abs(f.nearAlone), 1.0);
  EXPECT_LE(std::abs(f.doubleTalk), 6.0);
}

INSTANTIATE_TEST_SUITE_P(Delays, EchoCancellationSound, ::testing::Values(40, 200),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param) + "ms"; });

}  // namespace
}  // namespace talvo
