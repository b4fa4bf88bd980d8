#include "core/capture_timeline.h"

#include <algorithm>
#include <cmath>

namespace talvo {

CaptureTimeline::CaptureTimeline() {
  for (std::size_t s = 0; s < captureSourceCount; ++s) {
    samples_[s].assign(capacity, 0.0f);
    marks_[s].assign(capacity, -1);
  }
}

void CaptureTimeline::ingest(CaptureSource source, std::int64_t at, std::span<const float> values) noexcept {
  const std::size_t s = index(source);
  const auto count = static_cast<std::int64_t>(values.size());
  if (count == 0) return;
  const std::int64_t low = cursor_;
  const std::int64_t high = cursor_ + capacity;
  // The accepted part is [first, last) of the block; the rest is late. The comparisons are
  // arranged so that positions near the ends of the 64-bit range cannot overflow.
  std::int64_t first = 0;
  std::int64_t last = 0;
  if (at >= high || at < low - count) {
    first = last = 0;  // wholly outside the window
  } else {
    first = at < low ? low - at : 0;
    last = std::min(count, high - at);
    if (last < first) last = first;
  }
  late_[s] += count - (last - first);

  float* samples = samples_[s].data();
  std::int64_t* marks = marks_[s].data();
  std::int64_t delivered = 0;
  for (std::int64_t i = first; i < last; ++i) {
    const std::int64_t position = at + i;
    const std::size_t slot = static_cast<std::size_t>(position % capacity);
    if (marks[slot] != position) ++delivered;
    const float value = values[static_cast<std::size_t>(i)];
    samples[slot] = std::isfinite(value) ? value : 0.0f;
    marks[slot] = position;
  }
  delivered_[s] += delivered;
}

std::vector<std::int16_t> CaptureTimeline::drain(std::int64_t through) {
  if (through <= cursor_) return {};
  const std::int64_t count = std::min(through - cursor_, capacity);
  std::vector<std::int16_t> result;
  result.reserve(static_cast<std::size_t>(count));
  const float* computer = samples_[0].data();
  const float* microphone = samples_[1].data();
  const std::int64_t* computerMarks = marks_[0].data();
  const std::int64_t* microphoneMarks = marks_[1].data();
  for (std::int64_t n = 0; n < count; ++n) {
    const std::int64_t position = cursor_;
    const std::size_t slot = static_cast<std::size_t>(position % capacity);
    float mix = 0.0f;
    if (computerMarks[slot] == position) {
      mix += 0.5f * computer[slot];
    } else {
      ++missing_[0];
    }
    if (microphoneMarks[slot] == position) {
      mix += 0.5f * microphone[slot];
    } else {
      ++missing_[1];
    }
    // Full scale is symmetric: -32768 never occurs, halves round away from zero.
    const std::int16_t output = mix >= 1.0f ? std::int16_t{32767}
                                            : static_cast<std::int16_t>(std::lround(std::max(mix, -1.0f) * 32767.0f));
    result.push_back(output);
    ++cursor_;
  }
  return result;
}

}  // namespace talvo
