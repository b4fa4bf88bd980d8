#pragma once
// One downloadable desktop build as the service describes it, and the strict rule that turns
// such a description into a download address: every field must be well formed, the build must
// be for this platform and processor, strictly newer than the running version, and stored at
// the one place the archive policy accepts. Anything else yields no address, never an error.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/program/service_configuration.h"
#include "core/values/url.h"

namespace talvo {

struct DesktopRelease {
  // The platform name of the builds this program can install.
  static constexpr std::string_view platformName = "linux";
  // A build that runs on every processor architecture.
  static constexpr std::string_view universalArchitecture = "universal";

  std::string platform;
  std::string architecture;
  std::string version;   // "major.minor.patch"
  std::string sha256;    // 64 lower-case hexadecimal digits
  std::string filename;  // "TALVO-<1…100 of [A-Za-z0-9._-]><archive extension>"
  std::string path;      // "/desktop-downloads/<sha256><archive extension>"
  std::int64_t bytes = 0;

  bool operator==(const DesktopRelease&) const = default;

  // Three dot-separated decimal numbers of one to six digits without leading zeros, and
  // nothing else (no sign, no spaces, no fourth part).
  static std::optional<std::array<int, 3>> versionParts(std::string_view version);

  // The archive's address on the service when this release may replace the running version
  // `current` on `architecture`; `origin` must be the configured service origin.
  std::optional<Url> downloadURL(std::string_view current, std::string_view architecture, std::string_view origin,
                                 const ServiceConfiguration& configuration) const;
};

// The service's list of builds, unchanged; the rule above is applied per entry by the caller.
struct DesktopReleaseList {
  std::vector<DesktopRelease> releases;
};

}  // namespace talvo
