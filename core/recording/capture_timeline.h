#pragma once
// Joins the computer's sound and the microphone into one mono 16 kHz stream.
//
// Each source delivers blocks of float samples stamped with an absolute frame position
// (frames since the recording started). The timeline keeps, per source, a ring of 8 seconds
// indexed by position; the engine drains everything up to a position that trails real time and
// gets mixed 16-bit samples. A source that is late, early or silent never stalls the other: a
// position it did not deliver is silence, and the counters say what was delivered, missed or
// dropped, so the engine can report it.
//
// Ring invariant: slot p mod capacity of source s holds position p exactly when
// marks[s][p mod capacity] == p. Positions are accepted only inside [cursor, cursor + capacity),
// so two live positions never claim one slot and a stale mark never matches a later position.
//
// Not thread-safe: the capture engine calls it from its one capture thread.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/recording/capture_source.h"
#include "core/recording/echo_canceller.h"

namespace talvo {

class CaptureTimeline {
 public:
  static constexpr std::int64_t rate = 16000;       // frames per second of positions and output
  static constexpr std::int64_t capacity = 128000;  // ring length: 8 seconds

  // Allocates all ring storage; nothing is allocated later except drain's result.
  CaptureTimeline();

  // Stores consecutive samples starting at position `at`. Samples outside the window
  // [cursor, cursor + capacity) are counted as late and dropped; non-finite values become 0.
  void ingest(CaptureSource source, std::int64_t at, std::span<const float> values) noexcept;

  // Mixes positions cursor .. through-1 (at most `capacity` per call) into 16-bit samples and
  // advances the cursor past them. Each source contributes half its value; the sum is clipped
  // to -32767..32767.
  //
  // With a canceller, the microphone's samples pass through it first, with the computer's
  // samples at the same positions as the reference (see EchoCanceller for its framing, latency
  // and preview); the mix rule stays the same.
  std::vector<std::int16_t> drain(std::int64_t through, EchoCanceller* canceller = nullptr);

  std::int64_t cursor() const noexcept { return cursor_; }
  // Distinct positions accepted from the source.
  std::int64_t delivered(CaptureSource source) const noexcept { return delivered_[index(source)]; }
  // Drained positions for which the source had no sample.
  std::int64_t missing(CaptureSource source) const noexcept { return missing_[index(source)]; }
  // Samples dropped because their position was outside the window.
  std::int64_t late(CaptureSource source) const noexcept { return late_[index(source)]; }

 private:
  // Runs the microphone's samples of positions cursor .. end-1 through the canceller.
  void cancelEcho(std::int64_t end, EchoCanceller& canceller) noexcept;

  std::array<std::vector<float>, captureSourceCount> samples_;
  std::array<std::vector<std::int64_t>, captureSourceCount> marks_;
  std::int64_t cursor_ = 0;
  std::int64_t fed_ = 0;        // the next frame the canceller takes as input
  std::int64_t previewed_ = 0;  // the next frame it is shown ahead of that
  std::array<std::int64_t, captureSourceCount> delivered_{};
  std::array<std::int64_t, captureSourceCount> missing_{};
  std::array<std::int64_t, captureSourceCount> late_{};
};

}  // namespace talvo
