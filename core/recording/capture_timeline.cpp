#include "core/recording/capture_timeline.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace talvo {
namespace {

// Full scale is symmetric (-32768 never occurs) and halves round away from zero. The scaled
// value is rounded in double, where adding one half to any float below 2^15 is exact.
inline std::int16_t toSample(float mix) {
  if (mix >= 1.0f) return 32767;
  const double scaled = static_cast<double>(std::max(mix, -1.0f) * 32767.0f);
  return static_cast<std::int16_t>(scaled >= 0 ? scaled + 0.5 : scaled - 0.5);
}

}  // namespace

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
  // The accepted part covers at most one lap of the ring: walk it in (at most two) runs of
  // consecutive slots instead of dividing for every sample.
  std::int64_t i = first;
  while (i < last) {
    const std::int64_t position = at + i;
    const std::int64_t slot = position % capacity;
    const std::int64_t run = std::min(last - i, capacity - slot);
    for (std::int64_t j = 0; j < run; ++j) {
      const float value = values[static_cast<std::size_t>(i + j)];
      delivered += marks[slot + j] != position + j;
      samples[slot + j] = std::isfinite(value) ? value : 0.0f;
      marks[slot + j] = position + j;
    }
    i += run;
  }
  delivered_[s] += delivered;
}

void CaptureTimeline::cancelEcho(std::int64_t end, EchoCanceller& canceller) noexcept {
  constexpr auto frame = static_cast<std::int64_t>(EchoCanceller::frameLength);
  constexpr auto lookahead = static_cast<std::int64_t>(EchoCanceller::lookahead);
  const auto latency = static_cast<std::int64_t>(std::min(canceller.latency(), EchoCanceller::lookahead));
  std::array<float, EchoCanceller::frameLength> reference;
  std::array<float, EchoCanceller::frameLength> microphone;
  float* microphoneSamples = samples_[1].data();
  const std::int64_t* microphoneMarks = marks_[1].data();
  // One frame of both from `first`; a position not delivered (or beyond the window) is `missing`.
  auto gather = [&](std::int64_t first, float missing) {
    for (std::int64_t i = 0; i < frame; ++i) {
      const std::int64_t p = first + i;
      const std::int64_t k = p % capacity;
      const bool inWindow = p < cursor_ + capacity;
      reference[static_cast<std::size_t>(i)] = inWindow && marks_[0][k] == p ? samples_[0][k] : missing;
      microphone[static_cast<std::size_t>(i)] = inWindow && microphoneMarks[k] == p ? microphoneSamples[k] : missing;
    }
  };
  // A frame is previewed once both sources have delivered its last position; one a source is
  // late with (or has stopped delivering) waits for later drains, until it is fed itself.
  auto previewReady = [&] {
    if (previewed_ >= fed_ + lookahead) return false;
    if (previewed_ <= fed_) return true;
    const std::int64_t last = previewed_ + frame - 1;
    const std::int64_t k = last % capacity;
    return last < cursor_ + capacity && marks_[0][k] == last && microphoneMarks[k] == last;
  };
  // The canceller's output for positions before `end` needs its input up to end + latency.
  while (fed_ - latency < end) {
    for (; previewReady(); previewed_ += frame) {
      gather(previewed_, std::numeric_limits<float>::quiet_NaN());
      canceller.preview(reference, microphone);
    }
    gather(fed_, 0.0f);
    canceller.process(reference, microphone);
    // The output belongs `latency` positions back; the input positions ahead of those are never
    // overwritten before they are fed. Output before the cursor (the library's start-up) goes.
    for (std::int64_t i = 0; i < frame; ++i) {
      const std::int64_t p = fed_ - latency + i;
      const std::int64_t k = p % capacity;
      const float value = microphone[static_cast<std::size_t>(i)];
      if (p >= cursor_ && microphoneMarks[k] == p) microphoneSamples[k] = std::isfinite(value) ? value : 0.0f;
    }
    fed_ += frame;
  }
}

std::vector<std::int16_t> CaptureTimeline::drain(std::int64_t through, EchoCanceller* canceller) {
  if (through <= cursor_) return {};
  const std::int64_t count = std::min(through - cursor_, capacity);
  if (canceller != nullptr) cancelEcho(cursor_ + count, *canceller);
  std::vector<std::int16_t> result(static_cast<std::size_t>(count));
  std::int16_t* out = result.data();
  const float* computer = samples_[0].data();
  const float* microphone = samples_[1].data();
  const std::int64_t* computerMarks = marks_[0].data();
  const std::int64_t* microphoneMarks = marks_[1].data();
  std::int64_t missingComputer = 0;
  std::int64_t missingMicrophone = 0;
  std::int64_t done = 0;
  while (done < count) {
    const std::int64_t first = cursor_ + done;
    const std::int64_t slot = first % capacity;
    const std::int64_t run = std::min(count - done, capacity - slot);
    for (std::int64_t j = 0; j < run; ++j) {
      const std::int64_t position = first + j;
      const std::int64_t k = slot + j;
      float mix = 0.0f;
      if (computerMarks[k] == position) {
        mix += 0.5f * computer[k];
      } else {
        ++missingComputer;
      }
      if (microphoneMarks[k] == position) {
        mix += 0.5f * microphone[k];
      } else {
        ++missingMicrophone;
      }
      out[done + j] = toSample(mix);
    }
    done += run;
  }
  missing_[0] += missingComputer;
  missing_[1] += missingMicrophone;
  cursor_ += count;
  return result;
}

}  // namespace talvo
