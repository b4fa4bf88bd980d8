#pragma once
// The echo canceller on Speex DSP: its multi-delay block filter (100 ms) on the reference
// delayed by what EchoDelayEstimator finds, followed by the preprocessor's residual echo
// suppression (noise suppression, gain control and voice detection off).
#include <vector>

#include "core/echo_canceller.h"
#include "core/echo_delay_estimator.h"

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace talvo {

class SpeexEchoCanceller final : public EchoCanceller {
 public:
  // Throws std::runtime_error when the library cannot be set up.
  SpeexEchoCanceller();
  ~SpeexEchoCanceller() override;
  SpeexEchoCanceller(const SpeexEchoCanceller&) = delete;
  SpeexEchoCanceller& operator=(const SpeexEchoCanceller&) = delete;

  // The preprocessor hands each frame back one frame late.
  std::size_t latency() const noexcept override { return frameLength; }
  void process(std::span<const float> reference, std::span<float> microphone) noexcept override;
  void preview(std::span<const float> reference, std::span<const float> microphone) noexcept override;

 private:
  SpeexEchoState_* echo_ = nullptr;
  SpeexPreprocessState_* preprocess_ = nullptr;
  EchoDelayEstimator delay_;
  std::vector<float> history_;  // the reference's last samples, a ring
  std::size_t next_ = 0;
};

}  // namespace talvo
