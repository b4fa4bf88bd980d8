#include "cloud/desktop_release_json.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace talvo {
namespace {

[[noreturn]] void invalid() { throw std::invalid_argument("Invalid release list"); }

const std::string& requiredString(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) invalid();
  return it->get_ref<const std::string&>();
}

DesktopRelease decodeRelease(const nlohmann::json& object) {
  if (!object.is_object()) invalid();
  DesktopRelease release;
  release.platform = requiredString(object, "platform");
  release.architecture = requiredString(object, "architecture");
  release.version = requiredString(object, "version");
  release.sha256 = requiredString(object, "sha256");
  release.filename = requiredString(object, "filename");
  release.path = requiredString(object, "path");
  auto bytes = object.find("bytes");
  if (bytes == object.end()) invalid();
  // is_number_integer() is also true for unsigned values, so the unsigned case comes first:
  // only values that fit a signed 64-bit integer are sizes.
  if (bytes->is_number_unsigned()) {
    auto value = bytes->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(INT64_MAX)) invalid();
    release.bytes = static_cast<std::int64_t>(value);
  } else if (bytes->is_number_integer()) {
    release.bytes = bytes->get<std::int64_t>();
  } else {
    invalid();
  }
  return release;
}

}  // namespace

DesktopReleaseList decodeDesktopReleaseList(std::string_view json) {
  nlohmann::json document = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded() || !document.is_object()) invalid();
  auto releases = document.find("releases");
  if (releases == document.end() || !releases->is_array()) invalid();
  DesktopReleaseList list;
  list.releases.reserve(releases->size());
  for (const auto& entry : *releases) list.releases.push_back(decodeRelease(entry));
  return list;
}

}  // namespace talvo
