#pragma once
// The service's release list as JSON: {"releases":[{"platform":…,"architecture":…,"version":…,
// "sha256":…,"filename":…,"path":…,"bytes":…}, …]}. Every key of a release is required and must
// have its exact type (bytes a signed 64-bit integer, never a float); the acceptance rule of
// DesktopRelease is applied later, per entry, by the caller.
//
// No caller on Linux: the updater reads the signed appcast feed (app/updates/appcast_feed).
// The decoder stays, fuzzed and tested, because the service still publishes this list and the
// versions and archive rules of DesktopRelease are the ones the feed is checked against.
#include <string_view>

#include "core/updates/desktop_release.h"

namespace talvo {

// Throws std::invalid_argument("Invalid release list") on anything that is not such a list.
DesktopReleaseList decodeDesktopReleaseList(std::string_view json);

}  // namespace talvo
