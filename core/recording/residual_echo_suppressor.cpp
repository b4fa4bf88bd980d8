#include "core/recording/residual_echo_suppressor.h"

#include <algorithm>

namespace talvo {
namespace {

// The reference this far on either side of the echo's delay counts: the delay is known to a few
// milliseconds, and a room (or a resampler) smears the echo.
constexpr std::size_t spread = ResidualEchoSuppressor::frameLength;
constexpr double silentReference = 1e-7;  // mean square: −70 dBFS
// The echo's gain may rise by this much per frame (about 9 dB a second), and a frame is echo
// alone while the microphone is within this factor (6 dB) of the echo that gain predicts.
constexpr double gainCreep = 1.02;
constexpr double echoMargin = 4;
constexpr double gainDrop = 0.5;
constexpr double voiceMargin = 10;

double meanSquare(std::span<const float> samples) {
  double sum = 0;
  for (float v : samples) sum += static_cast<double>(v) * v;
  return samples.empty() ? 0 : sum / static_cast<double>(samples.size());
}

}  // namespace

void ResidualEchoSuppressor::addReference(std::span<const float> reference) noexcept {
  for (float v : reference) {
    reference_[next_] = v;
    next_ = (next_ + 1) % history;
  }
}

void ResidualEchoSuppressor::apply(std::span<float> output, std::span<const float> input, std::size_t outputLag,
                                   std::size_t echoDelay) noexcept {
  const std::size_t length = std::min(output.size(), input.size());
  // The reference heard in these positions: from (end of the frame − echoDelay + spread) back
  // over the frame and twice the spread.
  const std::size_t newest = outputLag + echoDelay - std::min(outputLag + echoDelay, spread);
  const std::size_t span = std::min(length + 2 * spread, history - newest);
  double due = 0;
  for (std::size_t back = newest; back < newest + span; ++back) {
    const float v = reference_[(next_ + history - 1 - back % history) % history];
    due += static_cast<double>(v) * v;
  }
  due /= static_cast<double>(std::max<std::size_t>(span, 1));
  const double in = meanSquare(input.first(length));
  const double out = meanSquare(output.first(length));
  // The echo's gain: the lowest microphone-to-reference ratio of late, taken only while the
  // reference is steady (at a burst's onset the reference around the delay is there before its
  // echo), and lowered by at most 3 dB a frame: under load a source may miss part of a frame,
  // which makes the echo look quieter than it is. It creeps up only in frames the canceller has
  // taken down (echo alone), so a room that got louder is followed while someone talking over the
  // far end does not count as echo.
  const bool hearable = due > silentReference && in > silentReference * 1e-3;
  const bool steady = due < previousDue_ * 2 && previousDue_ < due * 2;
  previousDue_ = due;
  const bool cancelledMost = out < in * echoOnlyRatio;
  if (hearable && steady && (echoGain_ == 0 || in / due < echoGain_)) {
    echoGain_ = echoGain_ == 0 ? in / due : std::max(in / due, echoGain_ * gainDrop);
  } else if (hearable && cancelledMost) {
    echoGain_ *= gainCreep;
  }
  // Echo alone: the microphone no louder than the echo the gain predicts (what holds before the
  // canceller has adapted, in the first far-end words), or the canceller took most of it away
  // (what holds once it has, whatever the room's gain does) while the microphone is within 10 dB
  // of that echo: a voice clearly over the echo is never lowered, even where the library's own
  // suppression took it for echo.
  const double predicted = echoGain_ * due;
  const bool likeEcho = hearable && in < predicted * echoMargin;
  const bool echoOnly = due > silentReference && (likeEcho || (cancelledMost && in < predicted * voiceMargin));
  const float target = echoOnly ? echoOnlyGain : 1.0f;
  for (std::size_t i = 0; i < length; ++i) {
    const float g = gain_ + (target - gain_) * static_cast<float>(i + 1) / static_cast<float>(length);
    output[i] *= g;
  }
  gain_ = target;
}

}  // namespace talvo
