#include "cloud/desktop_release_json.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

#include "core/values/json_fields.h"

namespace talvo {
namespace {

[[noreturn]] void invalid() { throw std::invalid_argument("Invalid release list"); }

DesktopRelease decodeRelease(const nlohmann::json& object) {
  using namespace json_fields;
  if (!object.is_object()) invalid();
  try {
    return DesktopRelease{requiredString(object, "platform"), requiredString(object, "architecture"),
                          requiredString(object, "version"),  requiredString(object, "sha256"),
                          requiredString(object, "filename"), requiredString(object, "path"),
                          requiredInteger(object, "bytes")};
  } catch (const JsonDecodingError&) {
    invalid();
  }
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
