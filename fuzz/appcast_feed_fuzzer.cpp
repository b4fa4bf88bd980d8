// The update feed (XML): refused as a whole with UpdateError(feedInvalid), or items whose every
// field has its form, with no version twice for one architecture.
#include <set>
#include <utility>

#include "app/updates/appcast_feed.h"
#include "app/updates/update_error.h"
#include "core/values/base64.h"
#include "core/updates/desktop_release.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;

TALVO_FUZZ(data) {
  std::vector<AppcastItem> items;
  try {
    items = AppcastFeed::parse(fuzz::text(data, size));
  } catch (const UpdateError& error) {
    fuzz::require(error.code() == UpdateError::feedInvalid, "refused with another code");
    return 0;
  }
  std::set<std::pair<std::string, std::string>> releases;
  for (const auto& item : items) {
    fuzz::require(DesktopRelease::versionParts(item.version).has_value(), "item with a malformed version");
    fuzz::require(!item.architecture.empty() && item.architecture.size() <= 32 &&
                      item.architecture.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos,
                  "item with a malformed architecture");
    fuzz::require(releases.emplace(item.version, item.architecture).second,
                  "a version listed twice for one architecture");
    const auto signature = decodeBase64(item.signature);
    fuzz::require(signature && signature->size() == 64, "item with a malformed signature");
    fuzz::require(DesktopRelease::versionParts(item.displayVersion).has_value(), "malformed display version");
  }
  if (auto newest = AppcastFeed::newest(items, "0.1.0", "x86_64"))
    fuzz::require(newest->architecture == "x86_64" && releases.count({newest->version, "x86_64"}) == 1,
                  "newest is not one of the running architecture's items");
  return 0;
}
