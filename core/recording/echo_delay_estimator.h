#pragma once
// Finds how far the microphone's echo lags behind the computer's sound (0 to 350 ms), so the
// echo canceller can be told where to look: its filter covers only about 128 ms past the delay
// it is given, while devices and rooms put the echo anywhere from 0 to 300 ms behind the
// reference as placed on the timeline.
//
// Both signals are reduced to their envelopes (RMS per 2 ms block); every 0.1 s the changes of the microphone's
// envelope over the last 0.8 seconds are correlated with the reference's at each lag. The first lag with a clear peak
// (correlation at least 0.6 while the reference varies; an echo between two blocks is matched against both) becomes
// the delay at once, so the first burst of far-end sound is already cancelled; a later change must be confirmed by
// the next estimate. A weaker peak (at least 0.5) counts once it has held its lag over three estimates in a row: an
// echo partly hidden by room noise peaks at 0.5-0.6 at the same lag again and again, where sound without an echo
// wanders. The changes are also compared over 8 ms (smoothed): an echo path that filters the sound (a loudspeaker, a
// room, a sound server's resampler under load) leaves the echo's 2 ms fluctuations unlike the reference's (0.3-0.6)
// while its slower ones still match closely, so a peak of at least 0.9 there is clear too.
//
// Near-end speech, silence or a far end without echo give no clear peak and leave the last delay in place; after
// 10 s of far-end sound without one (headphones plugged in) there is no delay until an echo shows again. A
// microphone whose envelope stays still over the whole 0.8 s while the reference varies hears no echo at all (an echo
// would move it): the delay goes at once. So a steady near end and a far end that merely fell silent together once
// (a stalled player) are not taken for an echo for long.
//
// A sample that is not a number was not captured (a span lost in both sources, or before a
// source's start): a block holding one gives no change of its own signal, so spans lost in both
// at once, or both sources starting together, never look like an echo. Fixed storage, constant
// work per sample.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace talvo {

class EchoDelayEstimator {
 public:
  static constexpr std::size_t rate = 16000;
  static constexpr std::size_t blockLength = 32;  // 2 ms
  static constexpr std::size_t maximumLag = 175;  // blocks: 350 ms
  // Short enough to follow an echo whose delay drifts by several milliseconds a second (the
  // engine's dating of a source settling back after a stall under load): over 1.5 s such an echo
  // smears over too many lags to give a clear peak.
  static constexpr std::size_t comparedBlocks = 400;  // 0.8 s
  static constexpr std::size_t estimateEvery = 50;    // blocks: 0.1 s

  EchoDelayEstimator();

  // Consecutive samples of both signals, the same count (any count; blocks carry over).
  void add(std::span<const float> reference, std::span<const float> microphone) noexcept;

  // The delay of the echo behind the reference, or none: no echo heard (yet, or for a while).
  std::optional<int> delayMilliseconds() const noexcept;

 private:
  void addBlock(float reference, float microphone, bool referenceMissing, bool microphoneMissing) noexcept;
  struct Estimate {
    bool farEndActive = false;
    bool microphoneStill = false;  // captured throughout and unmoved while the far end varies
    std::optional<std::size_t> lag;
    std::optional<std::size_t> weakLag;
    std::optional<std::size_t> smoothedLag;  // a clear peak of the changes over 8 ms
  };
  Estimate estimate() const noexcept;

  // Envelopes, newest last, in rings of comparedBlocks + maximumLag + 1 blocks, and which blocks
  // were not wholly captured (all of them before the first).
  std::vector<float> reference_;
  std::vector<float> microphone_;
  std::vector<bool> referenceMissing_;
  std::vector<bool> microphoneMissing_;
  std::size_t next_ = 0;      // ring slot of the next block
  std::uint64_t blocks_ = 0;  // blocks seen
  double referenceSum_ = 0;
  double microphoneSum_ = 0;
  std::size_t partial_ = 0;  // samples of the current block so far
  bool partialReferenceMissing_ = false;
  bool partialMicrophoneMissing_ = false;
  std::optional<std::size_t> candidate_;
  std::optional<std::size_t> delay_;
  std::size_t withoutEcho_ = 0;         // estimates in a row with far-end sound and no clear peak
  std::optional<std::size_t> weakLag_;  // the last estimate's best lag over a weaker peak
  std::size_t steadyRun_ = 0;           // estimates in a row whose weaker peaks agreed on it
};

}  // namespace talvo
