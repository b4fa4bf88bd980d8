#include "app/capture/webrtc_echo_canceller.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

namespace talvo {
namespace {

constexpr int rate = 16000;
// The delay the library is told stays this much short of the echo's: the filter reaches past
// the told delay but not before it.
constexpr int delayMargin = 20;
constexpr int adaptationFrames = 300;  // 3 s

void check(int status, const char* what) {
  if (status != webrtc::AudioProcessing::kNoError) {
    throw std::runtime_error(std::string("WebRTC audio processing: ") + what + " failed (" + std::to_string(status) +
                             ")");
  }
}

}  // namespace

WebRtcEchoCanceller::WebRtcEchoCanceller() {
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(false));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
  config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
  processing_.reset(webrtc::AudioProcessing::Create(config));
  if (!processing_) throw std::runtime_error("WebRTC audio processing could not be created");
  const webrtc::ProcessingConfig streams{{webrtc::StreamConfig(rate, 1), webrtc::StreamConfig(rate, 1),
                                          webrtc::StreamConfig(rate, 1), webrtc::StreamConfig(rate, 1)}};
  check(processing_->Initialize(streams), "initialisation");
  webrtc::EchoCancellation* echo = processing_->echo_cancellation();
  check(echo->enable_drift_compensation(false), "drift compensation");
  check(echo->set_suppression_level(webrtc::EchoCancellation::kHighSuppression), "suppression level");
  check(echo->Enable(true), "echo cancellation");
  check(processing_->gain_control()->Enable(false), "gain control");
  check(processing_->noise_suppression()->Enable(false), "noise suppression");
  check(processing_->high_pass_filter()->Enable(false), "high-pass filter");
}

WebRtcEchoCanceller::~WebRtcEchoCanceller() = default;

void WebRtcEchoCanceller::preview(std::span<const float> reference, std::span<const float> microphone) noexcept {
  delay_.add(reference, microphone);
}

void WebRtcEchoCanceller::process(std::span<const float> reference, std::span<float> microphone) noexcept {
  std::copy(history_.begin() + frameLength, history_.end(), history_.begin());
  std::copy(microphone.begin(), microphone.end(), history_.end() - frameLength);
  std::array<float, frameLength> late;
  std::copy_n(history_.end() - frameLength - microphoneDelay, frameLength, late.begin());

  const webrtc::StreamConfig mono(rate, 1);
  const float* far[] = {reference.data()};
  float* near[] = {late.data()};
  // The reverse stream is only analysed; the library wants somewhere to write it.
  std::array<float, frameLength> unused;
  float* farOut[] = {unused.data()};
  const std::optional<int> echoDelay = delay_.delayMilliseconds();
  const int toldDelay =
      std::max(0, echoDelay.value_or(0) + static_cast<int>(microphoneDelay * 1000 / rate) - delayMargin);
  bool cancelled = processing_->ProcessReverseStream(far, mono, mono, farOut) == webrtc::AudioProcessing::kNoError;
  processing_->set_stream_delay_ms(toldDelay);
  cancelled = processing_->ProcessStream(near, mono, mono, near) == webrtc::AudioProcessing::kNoError && cancelled;
  // High suppression while the filter adapts to a newly heard echo, low once it has: the residual
  // suppressor takes out what is left, and costs the near end less while both talk.
  if (!echoDelay) {
    adaptingFrames_ = adaptationFrames;
  } else if (adaptingFrames_ > 0 && --adaptingFrames_ == 0) {
    processing_->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kLowSuppression);
  }
  if (!echoDelay &&
      processing_->echo_cancellation()->suppression_level() != webrtc::EchoCancellation::kHighSuppression) {
    processing_->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
  }
  // No echo heard, or the library failed this frame: the microphone as it came, equally late.
  suppressor_.addReference(reference);
  if (echoDelay && cancelled) {
    // What the library left of the echo; the microphone as it came is the oldest frame kept.
    suppressor_.apply(late, std::span<const float>(history_.data(), frameLength), latency(),
                      static_cast<std::size_t>(*echoDelay) * (rate / 1000));
    std::copy(late.begin(), late.end(), microphone.begin());
  } else {
    std::copy_n(history_.begin(), frameLength, microphone.begin());
  }
}

}  // namespace talvo
