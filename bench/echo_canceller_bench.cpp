// The microphone's echo canceller: its cost and its memory over a long recording.
//
// BM_EchoCancellerOneSecond: one second of audio per iteration through the capture timeline with
// the program's canceller (far-end noise bursts, their echo 40 ms later at -10 dB, and speech-like
// near-end syllables), against the same timeline without it. "realtime_x" is seconds of audio
// per second of one core.
// BM_EchoCancellerLongRecording: a long synthetic recording (argument: minutes of audio) as fast
// as it runs; "rss_growth_kb" is the resident memory gained from the end of the first minute to
// the end (0 means no growth). 30 minutes, and 360: the 6-hour limit
// (`--benchmark_filter=LongRecording/30` for the short one alone).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/capture/echo_canceller_factory.h"
#include "core/recording/capture_timeline.h"

namespace talvo {
namespace {

constexpr std::int64_t rate = CaptureTimeline::rate;

// One minute of far end, echo and near end, repeated as long as needed.
struct Minute {
  std::vector<float> far;
  std::vector<float> microphone;
  Minute() : far(60 * rate), microphone(60 * rate) {
    std::mt19937 generator(5);
    std::normal_distribution<float> normal(0.0f, 0.1f);
    for (std::size_t i = 0; i < far.size(); ++i) far[i] = (i % 9600) < 4800 ? normal(generator) : 0.0f;
    double phase = 0;
    for (std::size_t i = 0; i < microphone.size(); ++i) {
      const double t = static_cast<double>(i) / rate;
      phase += 2 * M_PI * 140 / rate;
      const float near = static_cast<float>(0.1 * std::max(0.0, std::sin(2 * M_PI * 3 * t)) * std::sin(phase));
      microphone[i] = near + (i >= 640 ? 0.316f * far[i - 640] : 0.0f);
    }
  }
};

long residentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Ingests one second (10 ms blocks, as the sources deliver) and drains it, as the engine does.
void oneSecond(CaptureTimeline& timeline, const Minute& minute, std::int64_t& position, EchoCanceller* canceller) {
  const std::int64_t offset = position % (60 * rate);
  for (std::int64_t b = 0; b < rate; b += 160) {
    timeline.ingest(CaptureSource::computer, position + b, std::span<const float>(minute.far).subspan(offset + b, 160));
    timeline.ingest(CaptureSource::microphone, position + b,
                    std::span<const float>(minute.microphone).subspan(offset + b, 160));
  }
  position += rate;
  benchmark::DoNotOptimize(timeline.drain(position, canceller));
}

void BM_EchoCancellerOneSecond(benchmark::State& state) {
  const Minute minute;
  CaptureTimeline timeline;
  std::unique_ptr<EchoCanceller> canceller = state.range(0) != 0 ? makeEchoCanceller() : nullptr;
  std::int64_t position = 0;
  for (auto _ : state) oneSecond(timeline, minute, position, canceller.get());
  state.counters["realtime_x"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EchoCancellerOneSecond)->ArgName("canceller")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_EchoCancellerLongRecording(benchmark::State& state) {
  const Minute minute;
  for (auto _ : state) {
    CaptureTimeline timeline;
    std::unique_ptr<EchoCanceller> canceller = makeEchoCanceller();
    std::int64_t position = 0;
    long afterFirstMinute = 0;
    for (std::int64_t second = 0; second < state.range(0) * 60; ++second) {
      oneSecond(timeline, minute, position, canceller.get());
      if (second == 59) afterFirstMinute = residentKilobytes();
    }
    state.counters["rss_growth_kb"] = static_cast<double>(residentKilobytes() - afterFirstMinute);
    state.counters["audio_minutes"] = static_cast<double>(state.range(0));
  }
}
BENCHMARK(BM_EchoCancellerLongRecording)->Arg(30)->Arg(360)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace talvo

BENCHMARK_MAIN();
