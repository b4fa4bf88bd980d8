#pragma once
// The update feed: an RSS 2.0 document in the appcast form, one <item> per release:
//
//   <rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
//     <channel><item>
//       <sparkle:version>1.2.0</sparkle:version>
//       <sparkle:shortVersionString>1.2.0</sparkle:shortVersionString>
//       <enclosure url="https://…/desktop-downloads/<sha256>.tar.gz" length="123"
//                  sparkle:architecture="x86_64"
//                  sparkle:edSignature="<Base64 of 64 bytes>" type="application/gzip"/>
//     </item></channel>
//   </rss>
//
// The feed decides what replaces the program, so it is read strictly: a document that is not
// well-formed XML, declares a DTD, is larger than maximumBytes, or has any item with a missing
// or malformed field or a version listed twice for one architecture is refused as a whole.
// One version for several architectures is one item per architecture.
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "app/updates/appcast_item.h"

namespace talvo::AppcastFeed {

inline constexpr std::size_t maximumBytes = 1024 * 1024;
inline constexpr std::string_view sparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

// Every item of the feed; throws UpdateError (feedInvalid) for a feed refused as above.
std::vector<AppcastItem> parse(std::string_view document);

// The newest item for `architecture` strictly newer than `currentVersion`, if any.
std::optional<AppcastItem> newest(const std::vector<AppcastItem>& items, std::string_view currentVersion,
                                  std::string_view architecture);

}  // namespace talvo::AppcastFeed
