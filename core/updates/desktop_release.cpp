#include "core/updates/desktop_release.h"

#include "core/updates/update_archive_policy.h"

namespace talvo {
namespace {

// One version number: "0" or 1-6 digits without a leading zero.
std::optional<int> versionNumber(std::string_view text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  if (text.size() > 1 && text[0] == '0') return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool isArchiveFileName(std::string_view name) {
  constexpr std::string_view prefix = "TALVO-";
  const std::string_view extension = UpdateArchivePolicy::archiveExtension;
  if (!name.starts_with(prefix) || !name.ends_with(extension)) return false;
  if (name.size() < prefix.size() + extension.size() + 1) return false;
  std::string_view middle = name.substr(prefix.size(), name.size() - prefix.size() - extension.size());
  if (middle.size() > 100) return false;
  for (char c : middle) {
    const bool allowed =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace

std::optional<std::array<int, 3>> DesktopRelease::versionParts(std::string_view version) {
  std::array<int, 3> parts{};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::size_t dot = version.find('.');
    const bool last = i + 1 == parts.size();
    if (last != (dot == std::string_view::npos)) return std::nullopt;
    auto number = versionNumber(version.substr(0, dot));
    if (!number) return std::nullopt;
    parts[i] = *number;
    if (!last) version.remove_prefix(dot + 1);
  }
  return parts;
}

std::optional<Url> DesktopRelease::downloadURL(std::string_view current, std::string_view runningArchitecture,
                                               std::string_view origin,
                                               const ServiceConfiguration& configuration) const {
  if (platform != platformName) return std::nullopt;
  if (architecture != runningArchitecture && architecture != universalArchitecture) return std::nullopt;
  auto offered = versionParts(version);
  auto running = versionParts(current);
  if (!offered || !running || !(*running < *offered)) return std::nullopt;
  if (bytes < 1 || static_cast<std::uint64_t>(bytes) > UpdateArchivePolicy::maximumBytes) return std::nullopt;
  if (!UpdateArchivePolicy::isLowerHexDigest(sha256)) return std::nullopt;
  if (!isArchiveFileName(filename)) return std::nullopt;
  if (path !=
      std::string(UpdateArchivePolicy::downloadsPath) + sha256 + std::string(UpdateArchivePolicy::archiveExtension))
    return std::nullopt;
  auto base = Url::parse(origin);
  if (!base || !UpdateArchivePolicy::isServiceOrigin(*base, configuration)) return std::nullopt;
  std::string address = "https://" + base->host();
  if (base->port()) address += ":" + std::to_string(*base->port());
  return Url::parse(address + path);
}

}  // namespace talvo
