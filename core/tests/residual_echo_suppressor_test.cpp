#include "core/recording/residual_echo_suppressor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace talvo {
namespace {

constexpr std::size_t frame = ResidualEchoSuppressor::frameLength;
constexpr std::size_t lag = 432;     // the canceller's output lag
constexpr std::size_t delay = 3200;  // 200 ms

double power(const std::vector<float>& v) {
  double sum = 0;
  for (float x : v) sum += static_cast<double>(x) * x;
  return sum / static_cast<double>(v.size());
}

// Far-end noise throughout; per frame the microphone holds its echo (−10 dB) plus `near` (a
// second voice, `near` times the far end, from `nearFrom` on), and the canceller's output is the echo `leftDb` down
// plus the near voice. Returns the output power over the last half second, against the canceller's.
double suppressionDb(double leftDb, float near, std::size_t nearFrom, std::size_t dropoutFrame = 0) {
  ResidualEchoSuppressor suppressor;
  std::mt19937 generator(7);
  std::normal_distribution<float> normal(0.0f, 0.1f);
  const float left = static_cast<float>(std::pow(10.0, -leftDb / 20));
  std::vector<float> before;
  std::vector<float> after;
  for (std::size_t f = 0; f < 200; ++f) {
    std::vector<float> reference(frame);
    std::vector<float> input(frame);
    std::vector<float> output(frame);
    for (std::size_t i = 0; i < frame; ++i) {
      reference[i] = normal(generator);
      const float echo = 0.316f * normal(generator);  // the echo's level, not its waveform
      const float voice = f >= nearFrom ? near * normal(generator) : 0.0f;
      input[i] = (f == dropoutFrame && i >= 16 ? 0.0f : echo) + voice;
      output[i] = left * echo + voice;
    }
    suppressor.addReference(reference);
    const std::vector<float> cancelled = output;
    suppressor.apply(output, input, lag, delay);
    if (f >= 150) {
      before.insert(before.end(), cancelled.begin(), cancelled.end());
      after.insert(after.end(), output.begin(), output.end());
    }
  }
  return 10 * std::log10(power(before) / power(after));
}

TEST(ResidualEchoSuppressor, LowersWhatTheCancellerLeftOfTheEchoAndKeepsTheNearEnd) {
  // Echo alone: lowered by 30 dB more, whether the canceller took 20 dB or only 3 (adapting).
  EXPECT_NEAR(suppressionDb(20, 0.0f, 200), 30, 0.5);
  EXPECT_NEAR(suppressionDb(3, 0.0f, 200), 30, 0.5);
  // ...also after a frame the microphone delivered only in part (a busy machine).
  EXPECT_NEAR(suppressionDb(3, 0.0f, 200, 140), 30, 0.5);
  // Both talking (the near end as loud as the far end, 10 dB over its echo): unchanged.
  EXPECT_NEAR(suppressionDb(20, 1.0f, 100), 0, 0.01);
  EXPECT_NEAR(suppressionDb(3, 1.0f, 100), 0, 0.01);
}

TEST(ResidualEchoSuppressor, LeavesEverythingWhileNoEchoIsDue) {
  ResidualEchoSuppressor suppressor;
  std::vector<float> silence(frame, 0.0f);
  std::vector<float> voice(frame, 0.05f);
  for (int f = 0; f < 100; ++f) {
    suppressor.addReference(silence);
    std::vector<float> output(frame, 0.001f);  // the canceller took most of it: still no echo due
    suppressor.apply(output, voice, lag, delay);
    EXPECT_EQ(output, std::vector<float>(frame, 0.001f));
  }
}

}  // namespace
}  // namespace talvo
