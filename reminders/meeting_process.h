#pragma once
// One process that the platform reports as using audio, as sampled by the reminder front-end.
#include <cstdint>
#include <optional>
#include <string>

namespace talvo {

struct MeetingProcess {
  std::int32_t pid = 0;
  // The application's identity as the platform names it (on Linux the executable name or the
  // Flatpak application id); none when it could not be told.
  std::optional<std::string> executableOrAppId;
  // The process is capturing audio input right now (the microphone is in use).
  bool runningInput = false;

  bool operator==(const MeetingProcess&) const = default;
};

}  // namespace talvo
