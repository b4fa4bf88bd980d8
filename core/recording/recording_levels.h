#pragma once
// The rolling level history of a recording: 35 values in 0…1, oldest first. At the 0.1 s
// progress cadence that is about 3.5 s for the panel's wave; the newest 7 are the tray meter.
#include <array>
#include <cstddef>

namespace talvo {

class RecordingLevels {
 public:
  static constexpr std::size_t count = 35;
  static constexpr std::size_t trayCount = 7;

  // Drops the oldest value and appends max(computer, microphone), non-finite inputs taken as
  // 0, clamped to 0…1.
  void append(float computer, float microphone) noexcept;
  void reset() noexcept { values_.fill(0.0f); }

  const std::array<float, count>& values() const noexcept { return values_; }
  // The newest 7 values, oldest first.
  std::array<float, trayCount> tray() const noexcept;

  bool operator==(const RecordingLevels&) const = default;

 private:
  std::array<float, count> values_{};
};

}  // namespace talvo
