#include "core/recording/recording_levels.h"

#include <algorithm>
#include <cmath>

namespace talvo {
namespace {

float finiteOrZero(float value) { return std::isfinite(value) ? value : 0.0f; }

}  // namespace

void RecordingLevels::append(float computer, float microphone) noexcept {
  const float level = std::clamp(std::max(finiteOrZero(computer), finiteOrZero(microphone)), 0.0f, 1.0f);
  std::move(values_.begin() + 1, values_.end(), values_.begin());
  values_.back() = level;
}

std::array<float, RecordingLevels::trayCount> RecordingLevels::tray() const noexcept {
  std::array<float, trayCount> newest{};
  std::copy(values_.end() - trayCount, values_.end(), newest.begin());
  return newest;
}

}  // namespace talvo
