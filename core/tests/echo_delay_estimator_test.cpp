#include "core/recording/echo_delay_estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace talvo {
namespace {

constexpr std::size_t rate = 16000;

// Far-end noise in 0.3 s bursts every 0.6 s, the same every run.
std::vector<float> bursts(std::size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> normal(0.0f, 0.1f);
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = (i % 9600) < 4800 ? normal(generator) : 0.0f;
  return values;
}

// Feeds both in frames of 160 and returns the first delay reported and when (seconds).
std::pair<std::optional<int>, double> run(const std::vector<float>& reference, const std::vector<float>& microphone) {
  EchoDelayEstimator estimator;
  for (std::size_t first = 0; first + 160 <= reference.size(); first += 160) {
    estimator.add({reference.data() + first, 160}, {microphone.data() + first, 160});
    if (estimator.delayMilliseconds()) {
      return {estimator.delayMilliseconds(), static_cast<double>(first + 160) / rate};
    }
  }
  return {std::nullopt, 0};
}

TEST(EchoDelayEstimator, FindsAnEchoFrom0To300MillisecondsWithinTheFirstBurst) {
  // 41 and 201 ms fall between two of its 2 ms blocks.
  for (int delay : {0, 40, 41, 200, 201, 300}) {
    const std::vector<float> far = bursts(3 * rate, 1);
    std::vector<float> microphone(far.size(), 0.0f);
    const std::size_t shift = delay * rate / 1000;
    for (std::size_t i = shift; i < far.size(); ++i) microphone[i] = 0.3f * far[i - shift];
    auto [found, at] = run(far, microphone);
    ASSERT_TRUE(found) << delay << " ms";
    EXPECT_NEAR(*found, delay, 4) << delay << " ms";
    // Between two blocks the match is weaker: it may take the second burst.
    const double burstsNeeded = delay % 2 == 0 ? 0 : 0.6;
    EXPECT_LT(at, 0.3 + delay / 1000.0 + 0.15 + burstsNeeded) << delay << " ms: the echo's delay came late";
  }
}

TEST(EchoDelayEstimator, FindsAnEchoHalfHiddenInRoomNoiseWithinItsFirstSecond) {
  // The echo only 3 dB over steady noise: its correlation stays under a clear peak, but at one lag.
  const std::vector<float> far = bursts(4 * rate, 5);
  std::vector<float> microphone(far.size(), 0.0f);
  std::mt19937 generator(9);
  std::normal_distribution<float> noise(0.0f, 0.021f);
  for (std::size_t i = 0; i < far.size(); ++i)
    microphone[i] = (i >= 3200 ? 0.3f * far[i - 3200] : 0.0f) + noise(generator);
  auto [found, at] = run(far, microphone);
  ASSERT_TRUE(found);
  EXPECT_NEAR(*found, 200, 4);
  EXPECT_LT(at, 1.0) << "the echo's delay came late";
}

TEST(EchoDelayEstimator, FindsAnEchoWhosePathFiltersTheSoundWithinTheFirstBurst) {
  // A room, a loudspeaker or a sound server's resampler passes the far end's noise through a filter:
  // the echo's fine 2 ms fluctuations then no longer follow the reference's, only its slower ones.
  std::vector<float> far(rate / 2, 0.0f);  // after half a second of silence
  const std::vector<float> played = bursts(3 * rate, 6);
  far.insert(far.end(), played.begin(), played.end());
  std::vector<float> microphone(far.size(), 0.0f);
  float filtered = 0;
  for (std::size_t i = 3200; i < far.size(); ++i) {
    filtered = 0.8f * filtered + 0.2f * far[i - 3200];  // a low pass at about 600 Hz
    microphone[i] = filtered;
  }
  auto [found, at] = run(far, microphone);
  ASSERT_TRUE(found);
  EXPECT_NEAR(*found, 200, 4);
  EXPECT_LT(at, 0.5 + 0.2 + 0.15) << "the echo's delay came late";
}

TEST(EchoDelayEstimator, ReportsNothingWithoutAnEcho) {
  const std::vector<float> far = bursts(4 * rate, 2);
  // Headphones: the microphone hears only the near end, talking in syllables of its own rhythm.
  std::vector<float> near(far.size(), 0.0f);
  std::mt19937 generator(3);
  std::uniform_int_distribution<std::size_t> length(800, 4800);
  std::normal_distribution<float> normal(0.0f, 0.1f);
  bool talking = true;
  for (std::size_t i = 0; i < near.size();) {
    const std::size_t end = std::min(near.size(), i + length(generator));
    for (; i < end; ++i) near[i] = talking ? normal(generator) : 0.0f;
    talking = !talking;
  }
  EXPECT_FALSE(run(far, near).first);
  // A silent far end, or silence everywhere.
  EXPECT_FALSE(run(std::vector<float>(far.size(), 0.0f), near).first);
  EXPECT_FALSE(run(std::vector<float>(far.size(), 0.0f), std::vector<float>(far.size(), 0.0f)).first);
}

TEST(EchoDelayEstimator, SpansNotCapturedInBothAreNoEcho) {
  // Steady tones (a far end, and a near end without echo) starting together, with spans the
  // recorder could not capture in both, the microphone's 6 ms off the other's.
  std::vector<float> far(4 * rate), near(far.size());
  for (std::size_t i = 0; i < far.size(); ++i) {
    far[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * 440 * static_cast<double>(i) / rate));
    near[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * 1000 * static_cast<double>(i) / rate));
  }
  for (std::size_t gap : {rate, 5 * rate / 2}) {
    std::fill_n(far.begin() + gap, 1600, std::numeric_limits<float>::quiet_NaN());
    std::fill_n(near.begin() + gap + 100, 1600, std::numeric_limits<float>::quiet_NaN());
  }
  EXPECT_FALSE(run(far, near).first);
}

TEST(EchoDelayEstimator, FollowsADelayThatChangesOnceTheChangeIsConfirmed) {
  const std::vector<float> far = bursts(8 * rate, 4);
  std::vector<float> microphone(far.size(), 0.0f);
  for (std::size_t i = 0; i < far.size(); ++i) {
    const std::size_t shift = i < 4 * rate ? 640 : 2400;  // 40 ms, then 150 ms (another output)
    if (i >= shift) microphone[i] = 0.3f * far[i - shift];
  }
  EchoDelayEstimator estimator;
  std::vector<int> seen;
  for (std::size_t first = 0; first + 160 <= far.size(); first += 160) {
    estimator.add({far.data() + first, 160}, {microphone.data() + first, 160});
    if (first == 4 * rate - 160 || first + 160 == far.size())
      seen.push_back(estimator.delayMilliseconds().value_or(-1));
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NEAR(seen[0], 40, 4);
  EXPECT_NEAR(seen[1], 150, 4);
}

}  // namespace
}  // namespace talvo
