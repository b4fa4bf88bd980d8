#pragma once
// Takes out what an echo canceller leaves of the echo. The canceller's own suppression is
// erratic on a drifting echo path (a sound server's loopback, a device's clock): behind one burst
// of far-end sound it leaves 40 dB, behind the next only 20, and behind the very first (while its
// filter adapts) under 20. This stage judges each 10 ms frame of the canceller's output: where
// the far end's sound is due to be heard in the microphone (the reference around the echo's
// delay is not silent) and either the microphone is no louder than the echo the reference
// predicts (the lowest microphone-to-reference ratio seen lately, plus 6 dB) or the canceller
// took most of the microphone away (its output at least `echoOnlyRatio` under its input) with
// the microphone within 10 dB of that echo, the frame is echo alone and is lowered by 30 dB
// more. Near-end speech keeps the microphone above the predicted echo, so a frame with it passes
// unchanged, also while the far end talks (its quietest moments under loud far-end sound
// excepted); so does every frame while no echo is due. Gains move smoothly over a frame. Fixed
// storage, constant work per frame.
#include <array>
#include <cstddef>
#include <span>

namespace talvo {

class ResidualEchoSuppressor {
 public:
  static constexpr std::size_t frameLength = 160;  // 10 ms at 16 kHz
  static constexpr std::size_t history = 8192;     // reference samples kept: over half a second
  static constexpr float echoOnlyGain = 0.0316f;   // −30 dB
  static constexpr double echoOnlyRatio = 0.125;   // output power under input power: −9 dB

  // The reference's next frame, every frame, in order.
  void addReference(std::span<const float> reference) noexcept;
  // Lowers `output` (the canceller's output, a frame) where it is echo alone. `input` is the
  // microphone as it came at the same positions, which end `outputLag` samples before the end of
  // the last reference frame added; the echo lags the reference by `echoDelay` samples.
  // outputLag + echoDelay must stay under history - 2 * frameLength.
  void apply(std::span<float> output, std::span<const float> input, std::size_t outputLag,
             std::size_t echoDelay) noexcept;

 private:
  std::array<float, history> reference_{};
  std::size_t next_ = 0;  // ring slot of the next reference sample
  float gain_ = 1.0f;
  double previousDue_ = 0;  // the reference power due in the last frame
  double echoGain_ = 0;     // microphone over reference power of an echo alone; 0: none heard yet
};

}  // namespace talvo
