#include "core/updates/update_archive_policy.h"

namespace talvo::UpdateArchivePolicy {

bool isLowerHexDigest(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool isArchivePath(std::string_view path) {
  if (!path.starts_with(downloadsPath) || !path.ends_with(archiveExtension)) return false;
  path.remove_prefix(downloadsPath.size());
  path.remove_suffix(archiveExtension.size());
  return isLowerHexDigest(path);
}

bool isServiceOrigin(const Url& origin, const ServiceConfiguration& configuration) {
  auto service = Url::parse(configuration.origin);
  if (!service) return false;
  return origin.scheme() == "https" && service->scheme() == "https" && origin.host() == service->host() &&
         origin.port() == service->port() && !origin.user() && !origin.password() && !origin.query() &&
         !origin.fragment() && origin.path() == "/";
}

bool allows(const std::optional<std::string>& url, std::uint64_t bytes, const ServiceConfiguration& configuration) {
  if (!url) return false;
  if (bytes < 1 || bytes > maximumBytes) return false;
  auto parsed = Url::parse(*url);
  if (!parsed) return false;
  auto service = Url::parse(configuration.origin);
  if (!service || service->scheme() != "https") return false;
  if (parsed->scheme() != "https" || parsed->host() != service->host()) return false;
  if (parsed->port() != service->port() || parsed->user() || parsed->password() || parsed->query() ||
      parsed->fragment())
    return false;
  if (!isArchivePath(parsed->path())) return false;
  // Character for character, as written: the parser may have normalised what it returned.
  return *url == configuration.origin + parsed->path();
}

}  // namespace talvo::UpdateArchivePolicy
