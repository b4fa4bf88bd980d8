#pragma once
// The two sound sources of a recording. The raw value indexes every per-source pair
// (ring buffers, counters, levels), so it must stay 0 and 1.
#include <cstddef>

namespace talvo {

enum class CaptureSource : int {
  computer = 0,    // what the computer plays (the default output's monitor)
  microphone = 1,  // the user's microphone
};

inline constexpr std::size_t captureSourceCount = 2;

constexpr std::size_t index(CaptureSource source) noexcept { return static_cast<std::size_t>(source); }

}  // namespace talvo
