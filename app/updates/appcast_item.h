#pragma once
// One release offered by the update feed.
#include <cstdint>
#include <string>

namespace talvo {

struct AppcastItem {
  std::string version;         // sparkle:version, three-number form
  std::string displayVersion;  // sparkle:shortVersionString (the version when absent)
  std::string url;             // enclosure url, exactly as written in the feed
  std::uint64_t length = 0;    // enclosure length in bytes
  std::string signature;       // sparkle:edSignature, Base64 of 64 bytes
  std::string architecture;    // enclosure sparkle:architecture: x86_64, aarch64…

  bool operator==(const AppcastItem&) const = default;
};

}  // namespace talvo
