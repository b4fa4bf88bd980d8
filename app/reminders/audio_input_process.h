#pragma once
// One process that is recording from a real input (the microphone), as the sound server reports
// it. The reminder model turns it into the identity its catalog matches.
#include <cstdint>
#include <string>

namespace talvo {

struct AudioInputProcess {
  std::int32_t pid = 0;
  // Base name of the executable (`application.process.binary`); may be empty.
  std::string binary;
  // `application.id` of the stream, which sandboxed (Flatpak) applications carry; may be empty.
  std::string applicationId;

  bool operator==(const AudioInputProcess&) const = default;
};

}  // namespace talvo
