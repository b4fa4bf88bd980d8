// The program's echo canceller on synthetic sound, frame by frame as the timeline drives it: an
// echo 0 to 300 ms behind the reference goes, a silent far end leaves the microphone as it was,
// with headphones (far end playing, no echo) the near end keeps its level, and so does a near
// end that only once happened to fall silent with the far end.
#include "app/capture/echo_canceller_factory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/recording/capture_timeline.h"

namespace talvo {
namespace {

constexpr std::size_t rate = 16000;
constexpr std::size_t frame = EchoCanceller::frameLength;

// White noise at about -20 dBFS, the same every run.
std::vector<float> noise(std::size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> normal(0.0f, 0.1f);
  std::vector<float> values(count);
  for (float& v : values) v = normal(generator);
  return values;
}

// Voiced "syllables": 20 harmonics of a wandering pitch, four syllables a second with gaps.
std::vector<float> speechLike(std::size_t count) {
  std::vector<float> values(count);
  double phase = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double pitch = 130 + 30 * std::sin(2 * M_PI * 0.7 * t);
    phase += 2 * M_PI * pitch / rate;
    const double syllable = std::max(0.0, std::sin(2 * M_PI * 4 * t));
    double sum = 0;
    for (int k = 1; k <= 20; ++k) sum += std::sin(k * phase) / k;
    values[i] = static_cast<float>(0.12 * syllable * sum);
  }
  return values;
}

// Runs the microphone through a fresh canceller as the engine does: both sources on a capture
// timeline, drained half a second behind the newest second ingested. Gives the microphone's part
// of the mix back (twice the mix less the reference).
std::vector<float> cancel(const std::vector<float>& reference, const std::vector<float>& microphone) {
  std::unique_ptr<EchoCanceller> canceller = makeEchoCanceller();
  CaptureTimeline timeline;
  std::vector<std::int16_t> mix;
  for (std::size_t first = 0; first < reference.size(); first += rate) {
    const std::size_t count = std::min(rate, reference.size() - first);
    timeline.ingest(CaptureSource::computer, static_cast<std::int64_t>(first), {reference.data() + first, count});
    timeline.ingest(CaptureSource::microphone, static_cast<std::int64_t>(first), {microphone.data() + first, count});
    const auto trailing = static_cast<std::int64_t>(first + count) - static_cast<std::int64_t>(rate / 2);
    for (std::int16_t v : timeline.drain(trailing - trailing % frame, canceller.get())) mix.push_back(v);
  }
  for (std::int16_t v : timeline.drain(static_cast<std::int64_t>(reference.size()), canceller.get())) mix.push_back(v);
  std::vector<float> out(mix.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = 2.0f * static_cast<float>(mix[i]) / 32767.0f - reference[i];
  return out;
}

double powerDb(const std::vector<float>& values, double fromSeconds, double toSeconds) {
  const auto first = static_cast<std::size_t>(fromSeconds * rate);
  const auto last = std::min(values.size(), static_cast<std::size_t>(toSeconds * rate));
  double sum = 0;
  for (std::size_t i = first; i < last; ++i) sum += static_cast<double>(values[i]) * values[i];
  return 10 * std::log10(sum / static_cast<double>(last - first) + 1e-30);
}

TEST(EchoCanceller, AnEchoUpTo300MillisecondsBehindTheReferenceGoes) {
  for (double delay : {0.0, 0.04, 0.15, 0.3}) {
    const std::size_t count = 8 * rate;
    const std::vector<float> far = noise(count, 7);
    std::vector<float> microphone(count, 0.0f);
    const auto shift = static_cast<std::size_t>(delay * rate);
    for (std::size_t i = shift; i < count; ++i) microphone[i] = 0.316f * far[i - shift];  // -10 dB
    const std::vector<float> out = cancel(far, microphone);
    const double reduction = powerDb(microphone, 4, 8) - powerDb(out, 4, 8);
    EXPECT_GE(reduction, 20.0) << "echo " << delay * 1000 << " ms behind";
  }
}

TEST(EchoCanceller, ASilentFarEndLeavesTheMicrophoneAsItWas) {
  const std::size_t count = 4 * rate;
  const std::vector<float> near = speechLike(count);
  const std::vector<float> out = cancel(std::vector<float>(count, 0.0f), near);
  EXPECT_NEAR(powerDb(out, 1, 4), powerDb(near, 1, 4), 0.1);
  double largest = 0;
  for (std::size_t i = rate; i < count; ++i) largest = std::max(largest, std::fabs(double{out[i]} - near[i]));
  EXPECT_LT(largest, 0.01) << "the microphone's sound was changed";
}

TEST(EchoCanceller, WithHeadphonesTheNearEndKeepsItsLevelWhileTheFarEndPlays) {
  const std::size_t count = 6 * rate;
  const std::vector<float> near = speechLike(count);
  const std::vector<float> out = cancel(noise(count, 11), near);  // no echo of it in the microphone
  for (double from : {0.0, 1.0, 3.0}) {
    EXPECT_NEAR(powerDb(out, from, from + 1), powerDb(near, from, from + 1), 0.5) << "from " << from << " s";
  }
}

// A steady near end (a hum, an instrument, the tone of a test) under a steady far end of another
// pitch, both silent at once for a moment (a stalled player feeding both): the coincidence looks
// like an echo to the delay finder until it leaves the finder's 0.8 s; then the still microphone
// shows there is no echo, and the near end is back at its level (before, it was lowered 30 dB for
// 10 s and more).
TEST(EchoCanceller, ASteadyNearEndKeepsItsLevelAfterBothFallSilentAtOnce) {
  const std::size_t count = 10 * rate;
  auto tone = [&](double hz) {
    std::vector<float> values(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * hz * i / rate));
    return values;
  };
  std::vector<float> far = tone(440);
  std::vector<float> near = tone(1000);
  std::fill_n(far.begin() + 3 * rate, rate / 50, 0.0f);               // 20 ms at 3 s
  std::fill_n(near.begin() + 3 * rate + rate / 30, rate / 50, 0.0f);  // the same, 33 ms later
  const std::vector<float> out = cancel(far, near);
  EXPECT_NEAR(powerDb(out, 4, 10), powerDb(near, 4, 10), 0.1);
}

}  // namespace
}  // namespace talvo
