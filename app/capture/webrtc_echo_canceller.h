#pragma once
// The echo canceller on WebRTC's audio processing (the library PulseAudio's module-echo-cancel
// uses): its acoustic echo canceller, then a residual echo suppressor of our own. Its filter
// reaches only about 48 ms past the delay it is told, and its own delay-agnostic mode finds a
// 200 ms echo but cancels it poorly (about 15 dB), so the delay comes from EchoDelayEstimator,
// which sees each frame a quarter second before it is processed; the filter is told 20 ms less,
// so an estimate a little late or a loopback's drift keeps the echo inside it. (The extended
// filter, about 128 ms, follows a new delay too slowly to cancel the first far-end words and
// costs double talk 3 dB more.)
//
// The library's suppression is high for the first 3 s after an echo is heard, while the filter
// adapts (the first far-end words), then low. Either way it is erratic on a drifting echo path
// (40 dB behind one burst of far-end sound, 20 behind the next) and under 20 dB behind the
// first burst; ResidualEchoSuppressor takes out what it leaves. Low rather than moderate
// suppression once adapted costs the near end about 1 dB less while both talk (worst recorded
// run: 4.3 dB instead of 5.6), the echo staying over 50 dB down.
//
// While the estimator hears no echo (headphones, a silent far end) the microphone passes
// unchanged, only as late as the library's own output, so nothing jumps when the echo appears;
// the library keeps running meanwhile and is adapted by then. Gain control, noise
// suppression and the high-pass filter stay off: the recording keeps the microphone's own level
// and sound.
#include <array>
#include <memory>

#include "core/recording/echo_canceller.h"
#include "core/recording/echo_delay_estimator.h"
#include "core/recording/residual_echo_suppressor.h"

namespace webrtc {
class AudioProcessing;
}

namespace talvo {

class WebRtcEchoCanceller final : public EchoCanceller {
 public:
  // Throws std::runtime_error when the library cannot be set up.
  WebRtcEchoCanceller();
  ~WebRtcEchoCanceller() override;
  WebRtcEchoCanceller(const WebRtcEchoCanceller&) = delete;
  WebRtcEchoCanceller& operator=(const WebRtcEchoCanceller&) = delete;

  // The library hands back each 10 ms frame 112 samples (7 ms) late at 16 kHz: its sub-blocks
  // of 64 samples and their overlap (checked by the tests sample for sample).
  static constexpr std::size_t libraryLatency = 112;
  // The library cancels nothing that is not later than the reference by a few milliseconds, so
  // it gets the microphone 20 ms late: an echo 0 ms behind (or even slightly ahead) is fine too.
  static constexpr std::size_t microphoneDelay = 320;
  std::size_t latency() const noexcept override { return microphoneDelay + libraryLatency; }
  void process(std::span<const float> reference, std::span<float> microphone) noexcept override;
  void preview(std::span<const float> reference, std::span<const float> microphone) noexcept override;

 private:
  std::unique_ptr<webrtc::AudioProcessing> processing_;
  EchoDelayEstimator delay_;
  ResidualEchoSuppressor suppressor_;
  // The microphone's latest input, newest last.
  std::array<float, libraryLatency + microphoneDelay + frameLength> history_{};
  int adaptingFrames_ = 0;  // frames of high suppression left for a newly heard echo
};

}  // namespace talvo
