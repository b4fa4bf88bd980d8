// The service's release list: refused with std::invalid_argument("Invalid release list"), or
// read into releases whose download address, when one is granted, is one the archive policy
// allows.
#include <stdexcept>

#include "cloud/desktop_release_json.h"
#include "core/updates/update_archive_policy.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

TALVO_FUZZ(data) {
  static const auto service = ServiceConfiguration::production();
  DesktopReleaseList list;
  try {
    list = decodeDesktopReleaseList(fuzz::text(data, size));
  } catch (const std::invalid_argument& error) {
    fuzz::require(std::string_view(error.what()) == "Invalid release list", "refused with another message");
    return 0;
  }
  for (const auto& release : list.releases) {
    for (const char* architecture : {"x86_64", "aarch64"}) {
      const auto url = release.downloadURL("0.1.0", architecture, service.origin, service);
      if (!url) continue;
      fuzz::require(DesktopRelease::versionParts(release.version).has_value(), "granted with a bad version");
      fuzz::require(UpdateArchivePolicy::allows(url->text(), static_cast<std::uint64_t>(release.bytes), service),
                    "granted an address the archive policy refuses");
    }
  }
  return 0;
}
