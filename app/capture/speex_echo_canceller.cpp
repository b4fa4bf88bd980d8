#include "app/capture/speex_echo_canceller.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace talvo {
namespace {

constexpr int rate = 16000;
constexpr int filterLength = rate / 10;  // 100 ms past the found delay: the room's early tail
constexpr std::size_t historyLength = rate * 4 / 10;
constexpr int delayMargin = 10;

spx_int16_t toInt16(float value) {
  return static_cast<spx_int16_t>(std::lround(std::clamp(value, -1.0f, 1.0f) * 32767.0f));
}

}  // namespace

SpeexEchoCanceller::SpeexEchoCanceller() : history_(historyLength, 0.0f) {
  echo_ = speex_echo_state_init(static_cast<int>(frameLength), filterLength);
  preprocess_ = speex_preprocess_state_init(static_cast<int>(frameLength), rate);
  if (echo_ == nullptr || preprocess_ == nullptr) {
    this->~SpeexEchoCanceller();
    throw std::runtime_error("Speex DSP echo canceller could not be created");
  }
  int value = rate;
  speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &value);
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
  value = 0;
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_DENOISE, &value);
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC, &value);
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_DEREVERB, &value);
}

SpeexEchoCanceller::~SpeexEchoCanceller() {
  if (preprocess_ != nullptr) speex_preprocess_state_destroy(preprocess_);
  if (echo_ != nullptr) speex_echo_state_destroy(echo_);
  preprocess_ = nullptr;
  echo_ = nullptr;
}

void SpeexEchoCanceller::preview(std::span<const float> reference, std::span<const float> microphone) noexcept {
  delay_.add(reference, microphone);
}

void SpeexEchoCanceller::process(std::span<const float> reference, std::span<float> microphone) noexcept {
  std::array<spx_int16_t, frameLength> far;
  std::array<spx_int16_t, frameLength> near;
  std::array<spx_int16_t, frameLength> out;
  const std::size_t delay =
      static_cast<std::size_t>(std::max(0, delay_.delayMilliseconds().value_or(0) - delayMargin)) * rate / 1000;
  for (std::size_t i = 0; i < frameLength; ++i) {
    history_[next_] = reference[i];
    far[i] = toInt16(history_[(next_ + historyLength - delay) % historyLength]);
    next_ = (next_ + 1) % historyLength;
    near[i] = toInt16(microphone[i]);
  }
  speex_echo_cancellation(echo_, near.data(), far.data(), out.data());
  speex_preprocess_run(preprocess_, out.data());
  for (std::size_t i = 0; i < frameLength; ++i) microphone[i] = static_cast<float>(out[i]) / 32767.0f;
}

}  // namespace talvo
