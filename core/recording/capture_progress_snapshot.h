#pragma once
// One progress report of a running recording, handed from the capture thread to the interface.
#include <optional>
#include <string>

namespace talvo {

struct CaptureProgressSnapshot {
  double elapsed = 0;                  // seconds recorded so far
  float computer = 0;                  // peak |sample| of the latest computer block; 0 after 1.5 s of silence
  float microphone = 0;                // the same for the microphone
  std::optional<std::string> warning;  // shown while recording, if any

  bool operator==(const CaptureProgressSnapshot&) const = default;
};

}  // namespace talvo
