#include "core/updates/update_archive_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace talvo {
namespace {

const std::string hash = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string extension(UpdateArchivePolicy::archiveExtension);
const ServiceConfiguration service = ServiceConfiguration::production();

TEST(UpdateArchivePolicy, OnlyOneSpellingOfTheArchiveAddress) {
  const std::string good = "https://talvo.pro/desktop-downloads/" + hash + extension;
  EXPECT_TRUE(UpdateArchivePolicy::allows(good, 1, service));
  EXPECT_TRUE(UpdateArchivePolicy::allows(good, 536870912, service));
  EXPECT_FALSE(UpdateArchivePolicy::allows(good, 0, service));
  EXPECT_FALSE(UpdateArchivePolicy::allows(good, 536870913, service));
  EXPECT_FALSE(UpdateArchivePolicy::allows(std::nullopt, 1, service));

  const std::string tail = "/desktop-downloads/" + hash + extension;
  std::string upper = hash;
  upper[10] = 'A';
  std::string encoded = "/desktop-downloads/%30" + hash.substr(1) + extension;
  for (const std::string& bad : {
           "https://talvo.pro:443" + tail,
           "https://talvo.pro:8443" + tail,
           "http://talvo.pro" + tail,
           "HTTPS://talvo.pro" + tail,
           "https://TALVO.PRO" + tail,
           "https://talvo.pro." + tail,
           "https://user@talvo.pro" + tail,
           "https://:@talvo.pro" + tail,
           "https://talvo.pro@evil.example" + tail,
           "https://evil.example/talvo.pro" + tail,
           "https://talvo.pro" + tail + "?x=1",
           "https://talvo.pro" + tail + "?",
           "https://talvo.pro" + tail + "#",
           "https://talvo.pro" + tail + "#frag",
           "https://talvo.pro" + tail + " ",
           " https://talvo.pro" + tail,
           "https://talvo.pro" + tail + "\n",
           "https://talvo.pro/" + tail,
           "https://talvo.pro/desktop-downloads//" + hash + extension,
           "https://talvo.pro/desktop-downloads/" + upper + extension,
           "https://talvo.pro/desktop-downloads/" + hash.substr(1) + extension,
           "https://talvo.pro" + encoded,
           "https://talvo.pro/desktop%2Ddownloads/" + hash + extension,
           "https://talvo.pro/desktop-downloads/../desktop-downloads/" + hash + extension,
           "https://talvo.pro/./desktop-downloads/" + hash + extension,
           "https://talvo.pro\\desktop-downloads\\" + hash + extension,
           "https://talvo.pro/desktop-downloads/" + hash + extension + "/",
           "https://talvo.pro/desktop-downloads/" + hash + ".dmg",
           "https:talvo.pro" + tail,
           "https:/talvo.pro" + tail,
           "//talvo.pro" + tail,
           tail,
       }) {
    EXPECT_FALSE(UpdateArchivePolicy::allows(bad, 1000, service)) << bad;
  }
}

TEST(UpdateArchivePolicy, FollowsTheConfiguredService) {
  ServiceConfiguration local{"https://127.0.0.1:8443", "t.me", std::nullopt};
  const std::string tail = "/desktop-downloads/" + hash + extension;
  EXPECT_TRUE(UpdateArchivePolicy::allows("https://127.0.0.1:8443" + tail, 1, local));
  EXPECT_FALSE(UpdateArchivePolicy::allows("https://127.0.0.1" + tail, 1, local));
  EXPECT_FALSE(UpdateArchivePolicy::allows("https://talvo.pro" + tail, 1, local));
  ServiceConfiguration plain{"http://127.0.0.1:8080", "t.me", std::nullopt};  // never over plain HTTP
  EXPECT_FALSE(UpdateArchivePolicy::allows("http://127.0.0.1:8080" + tail, 1, plain));
}

}  // namespace
}  // namespace talvo
