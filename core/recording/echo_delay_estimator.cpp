#include "core/recording/echo_delay_estimator.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace talvo {
namespace {

constexpr std::size_t ringLength = EchoDelayEstimator::comparedBlocks + EchoDelayEstimator::maximumLag + 1;
constexpr double clearPeak = 0.6;
constexpr double steadyPeak = 0.5;  // a weaker peak counts once it held its lag this many estimates
constexpr std::size_t steadyEstimates = 3;
constexpr double quietEnvelope = 1e-4;      // the reference's envelope varies less than this: nothing to go on
constexpr std::size_t sameLag = 2;          // blocks two estimates may differ by and still agree
constexpr std::size_t echoGoneAfter = 100;  // estimates: 10 s
// The changes smoothed over 8 ms vary far less at random than the 2 ms ones (a near end, sound
// without an echo), so only a peak this close counts there.
constexpr double clearSmoothedPeak = 0.9;

using Changes = std::array<float, ringLength - 1>;

// Each change summed with its three predecessors, twice: the envelope's change over 8 ms, weighted
// to its middle.
Changes smoothed(const Changes& changes) {
  Changes once{};
  Changes twice{};
  for (std::size_t i = 0; i < changes.size(); ++i) {
    for (std::size_t back = 0; back < 4 && back <= i; ++back) once[i] += changes[i - back];
    for (std::size_t back = 0; back < 4 && back <= i; ++back) twice[i] += once[i - back];
  }
  return twice;
}

// The microphone's changes over the compared blocks, correlated with the reference's at a lag.
class Window {
 public:
  explicit Window(const float* changes) : changes_(changes) {
    double squares = 0;
    for (std::size_t t = 0; t < EchoDelayEstimator::comparedBlocks; ++t) {
      mean_ += changes_[t];
      squares += static_cast<double>(changes_[t]) * changes_[t];
    }
    mean_ /= EchoDelayEstimator::comparedBlocks;
    variance_ = squares / EchoDelayEstimator::comparedBlocks - mean_ * mean_;
  }
  bool varies() const { return variance_ > quietEnvelope * quietEnvelope; }
  // None while the reference's changes at `blockAt(t)` hardly vary: nothing to go on.
  template <typename BlockAt>
  std::optional<double> correlate(BlockAt blockAt) const {
    double sum = 0;
    double squares = 0;
    double products = 0;
    for (std::size_t t = 0; t < EchoDelayEstimator::comparedBlocks; ++t) {
      const double r = blockAt(t);
      sum += r;
      squares += r * r;
      products += r * changes_[t];
    }
    const double mean = sum / EchoDelayEstimator::comparedBlocks;
    const double variance = squares / EchoDelayEstimator::comparedBlocks - mean * mean;
    if (!(variance > quietEnvelope * quietEnvelope)) return std::nullopt;
    const double covariance = products / EchoDelayEstimator::comparedBlocks - mean * mean_;
    return covariance / std::sqrt(variance * variance_);
  }

 private:
  const float* changes_;
  double mean_ = 0;
  double variance_ = 0;
};

}  // namespace

EchoDelayEstimator::EchoDelayEstimator()
    : reference_(ringLength, 0.0f),
      microphone_(ringLength, 0.0f),
      referenceMissing_(ringLength, true),
      microphoneMissing_(ringLength, true) {}

void EchoDelayEstimator::add(std::span<const float> reference, std::span<const float> microphone) noexcept {
  const std::size_t count = std::min(reference.size(), microphone.size());
  for (std::size_t i = 0; i < count; ++i) {
    const bool referenceCaptured = std::isfinite(reference[i]);
    const bool microphoneCaptured = std::isfinite(microphone[i]);
    const double r = referenceCaptured ? reference[i] : 0.0;
    const double m = microphoneCaptured ? microphone[i] : 0.0;
    referenceSum_ += r * r;
    microphoneSum_ += m * m;
    partialReferenceMissing_ = partialReferenceMissing_ || !referenceCaptured;
    partialMicrophoneMissing_ = partialMicrophoneMissing_ || !microphoneCaptured;
    if (++partial_ == blockLength) {
      addBlock(static_cast<float>(std::sqrt(referenceSum_ / blockLength)),
               static_cast<float>(std::sqrt(microphoneSum_ / blockLength)), partialReferenceMissing_,
               partialMicrophoneMissing_);
      referenceSum_ = microphoneSum_ = 0;
      partial_ = 0;
      partialReferenceMissing_ = partialMicrophoneMissing_ = false;
    }
  }
}

void EchoDelayEstimator::addBlock(float reference, float microphone, bool referenceMissing,
                                  bool microphoneMissing) noexcept {
  reference_[next_] = reference;
  microphone_[next_] = microphone;
  referenceMissing_[next_] = referenceMissing;
  microphoneMissing_[next_] = microphoneMissing;
  next_ = (next_ + 1) % ringLength;
  ++blocks_;
  if (blocks_ % estimateEvery != 0) return;
  const Estimate result = estimate();
  std::optional<std::size_t> found = result.lag ? result.lag : result.smoothedLag;
  if (result.microphoneStill) {
    delay_.reset();
    candidate_.reset();
    weakLag_.reset();
    withoutEcho_ = steadyRun_ = 0;
    return;
  }
  auto agree = [](std::size_t a, std::size_t b) { return (a > b ? a - b : b - a) <= sameLag; };
  if (result.weakLag) {
    steadyRun_ = weakLag_ && agree(*result.weakLag, *weakLag_) ? steadyRun_ + 1 : 1;
  } else {
    steadyRun_ = 0;
  }
  weakLag_ = result.weakLag;
  if (!found && steadyRun_ >= steadyEstimates) found = result.weakLag;
  if (!found) {
    if (result.farEndActive && ++withoutEcho_ >= echoGoneAfter) {
      delay_.reset();
      candidate_.reset();
    }
    return;
  }
  withoutEcho_ = 0;
  // Jitter of a block or two in the sources' dating is left to the canceller's filter: every
  // change of the delay it is told costs it a moment of re-adaptation.
  if (!delay_ || (candidate_ && agree(*found, *candidate_) && !agree(*found, *delay_))) delay_ = *found;
  candidate_ = found;
}

EchoDelayEstimator::Estimate EchoDelayEstimator::estimate() const noexcept {
  // The envelopes' changes from block to block are compared, not the envelopes: two people
  // talking by turns have envelopes that rise and fall alike at some lag, while an echo repeats
  // every fluctuation of the sound. Laid out oldest first (reference: maximumLag blocks more),
  // so the lag loop below runs over plain arrays.
  Changes reference;
  Changes microphoneAll;
  bool microphoneCaptured = true;
  for (std::size_t i = 0; i + 1 < ringLength; ++i) {
    const std::size_t slot = (next_ + 1 + i) % ringLength;
    const std::size_t before = (next_ + i) % ringLength;
    const bool referenceKnown = !referenceMissing_[slot] && !referenceMissing_[before];
    const bool microphoneKnown = !microphoneMissing_[slot] && !microphoneMissing_[before];
    reference[i] = referenceKnown ? reference_[slot] - reference_[before] : 0.0f;
    microphoneAll[i] = microphoneKnown ? microphone_[slot] - microphone_[before] : 0.0f;
    if (i >= maximumLag) microphoneCaptured = microphoneCaptured && microphoneKnown;
  }
  // The same changes over 8 ms (smoothed twice over 4 blocks): an echo whose path filtered the
  // sound matches the 2 ms changes only loosely, but these closely.
  const Changes referenceSmoothed = smoothed(reference);
  const Changes microphoneAllSmoothed = smoothed(microphoneAll);
  const Window microphone(microphoneAll.data() + maximumLag);
  const Window microphoneSmoothed(microphoneAllSmoothed.data() + maximumLag);

  Estimate result;
  double best = clearPeak;
  double weakest = steadyPeak;
  double bestSmoothed = clearSmoothedPeak;
  for (std::size_t lag = 0; lag <= maximumLag; ++lag) {
    // Microphone block t (t = 0 oldest) against the reference `lag` blocks earlier.
    const float* r = reference.data() + maximumLag - lag;
    const std::optional<double> whole = microphone.correlate([r](std::size_t t) { return static_cast<double>(r[t]); });
    if (!whole) continue;
    result.farEndActive = true;
    if (!microphone.varies()) {  // the far end, and no echo of it
      result.microphoneStill = microphoneCaptured;
      break;
    }
    // An echo whose delay falls between two blocks straddles them: its blocks' changes match
    // neither lag well (about 0.5 at half a block, below a clear peak), but they match the sum of
    // the reference's changes at both. Each lag is therefore also tried against that sum.
    std::optional<double> straddled;
    if (lag < maximumLag) {
      straddled = microphone.correlate([r](std::size_t t) { return static_cast<double>(r[t]) + r[t - 1]; });
    }
    const double correlation = std::max(*whole, straddled.value_or(-1.0));
    if (correlation > weakest) {
      weakest = correlation;
      result.weakLag = lag;
    }
    if (correlation > best) {
      best = correlation;
      result.lag = lag;
    }
    const float* s = referenceSmoothed.data() + maximumLag - lag;
    const double smoothedCorrelation =
        microphoneSmoothed.correlate([s](std::size_t t) { return static_cast<double>(s[t]); }).value_or(-1.0);
    if (smoothedCorrelation > bestSmoothed) {
      bestSmoothed = smoothedCorrelation;
      result.smoothedLag = lag;
    }
  }
  return result;
}

std::optional<int> EchoDelayEstimator::delayMilliseconds() const noexcept {
  if (!delay_) return std::nullopt;
  return static_cast<int>(*delay_ * blockLength * 1000 / rate);
}

}  // namespace talvo
