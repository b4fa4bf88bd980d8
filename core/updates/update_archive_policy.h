#pragma once
// Where an update archive may come from. The program replaces itself with what it downloads,
// so an archive is accepted only at exactly one spelling of one place on our own service:
//   <service origin>/desktop-downloads/<64 lower-case hex digits of its SHA-256><extension>
// with a plausible size. Alternative spellings of the same address (an explicit port, user
// information, percent-encoding, upper-case hex, a trailing dot or space) are refused too: a
// rule that accepts only one form cannot be talked around by the differences between parsers.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/program/service_configuration.h"
#include "core/values/url.h"

namespace talvo::UpdateArchivePolicy {

// The file name ending of the program's update archives.
inline constexpr std::string_view archiveExtension = ".tar.gz";
inline constexpr std::string_view downloadsPath = "/desktop-downloads/";
inline constexpr std::uint64_t maximumBytes = 536870912;  // 512 MiB

// True when `url` (as written in the feed) is the archive address described above on the
// configured service, and `bytes` is between 1 and maximumBytes.
bool allows(const std::optional<std::string>& url, std::uint64_t bytes, const ServiceConfiguration& configuration);

// "/desktop-downloads/<hash><extension>" with a hash of 64 lower-case hexadecimal digits.
bool isArchivePath(std::string_view path);
// 64 lower-case hexadecimal digits, nothing else.
bool isLowerHexDigest(std::string_view text);

// `origin` is the service itself: https, the configured host and port (none in production), no
// user information, query or fragment, and no path beyond "/".
bool isServiceOrigin(const Url& origin, const ServiceConfiguration& configuration);

}  // namespace talvo::UpdateArchivePolicy
