#pragma once
// Takes the far end's echo out of the microphone. The capture timeline runs it while draining,
// one frame of `frameLength` positions at a time (frames counted from position 0), with the
// computer's sound at the same timeline positions as the reference; it changes only the
// microphone's samples, so the mix after it stays the plain half-and-half sum. Positions a source
// did not deliver reach it as silence, and its output there is not mixed. Implementations wrap a
// signal-processing library; the timeline and the engine know only this interface.
//
// A library may give its output `latency()` samples late: the timeline then feeds it that far
// ahead of the positions it drains (the engine's output trails real time by half a second, so
// the input is there), and the microphone keeps its place on the timeline. For the same reason
// the timeline shows the canceller each frame `lookahead` positions before feeding it
// (`preview`): the echo's delay can be known before the echo itself is cancelled.
#include <cstddef>
#include <span>

namespace talvo {

class EchoCanceller {
 public:
  static constexpr std::size_t frameLength = 160;  // 10 ms at 16 kHz
  static constexpr std::size_t lookahead = 4000;   // 250 ms

  virtual ~EchoCanceller() = default;
  // Samples by which process()'s output lags its input; less than lookahead.
  virtual std::size_t latency() const noexcept = 0;
  // Takes the next frame of both (frameLength samples each, in [-1, 1]) and puts in its place
  // the cancelled microphone of `latency()` samples earlier.
  virtual void process(std::span<const float> reference, std::span<float> microphone) noexcept = 0;
  // Each frame once, in order, no later than process() gets it: as soon as both sources have
  // delivered it, at most `lookahead` positions ahead. A position a source had not delivered by
  // the time the frame is fed is NaN here (silence in process()): a span lost in both sources at
  // once, or the sources' start, must not be taken for sound that starts and stops in both.
  virtual void preview(std::span<const float> reference, std::span<const float> microphone) noexcept = 0;
};

}  // namespace talvo
