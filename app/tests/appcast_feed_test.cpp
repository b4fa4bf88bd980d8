// Reading the release feed: what is accepted, and every malformed feed refused as a whole.
#include "app/updates/appcast_feed.h"

#include <gtest/gtest.h>

#include "app/updates/update_error.h"

namespace talvo {
namespace {

const std::string signature = std::string(86, 'A') + "==";  // Base64 of 64 bytes
const std::string hash(64, 'a');

std::string item(const std::string& version, const std::string& extra = "", const std::string& enclosure = "",
                 const std::string& architecture = "x86_64") {
  return "<item><title>r</title><sparkle:version>" + version + "</sparkle:version>" + extra +
         (enclosure.empty() ? "<enclosure url=\"https://talvo.pro/desktop-downloads/" + hash +
                                  ".tar.gz\" length=\"1000\" type=\"application/gzip\" sparkle:architecture=\"" +
                                  architecture + "\" sparkle:edSignature=\"" + signature + "\"/>"
                            : enclosure) +
         "</item>";
}

std::string feed(const std::string& items) {
  return "<?xml version=\"1.0\"?><rss version=\"2.0\" "
         "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><title>TALVO</title>" +
         items + "</channel></rss>";
}

void expectRefused(const std::string& document, const char* why) {
  try {
    AppcastFeed::parse(document);
    ADD_FAILURE() << "accepted: " << why;
  } catch (const UpdateError& error) {
    EXPECT_EQ(error.code(), UpdateError::feedInvalid) << why;
    EXPECT_FALSE(error.benign()) << why;
  }
}

TEST(AppcastFeed, ReadsItemsAndPicksTheNewestNewerOne) {
  auto items = AppcastFeed::parse(
      feed(item("1.9.9") + item("1.10.0", "<sparkle:shortVersionString>1.10.0</sparkle:shortVersionString>") +
           item("1.2.0") + "<unknown>kept out</unknown>"));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].displayVersion, "1.9.9");  // the version when no display version is given
  EXPECT_EQ(items[1].url, "https://talvo.pro/desktop-downloads/" + hash + ".tar.gz");
  EXPECT_EQ(items[1].length, 1000u);
  EXPECT_EQ(items[1].signature, signature);
  // Numeric comparison: 1.10.0 is newer than 1.9.9.
  EXPECT_EQ(AppcastFeed::newest(items, "1.2.0", "x86_64")->version, "1.10.0");
  EXPECT_FALSE(AppcastFeed::newest(items, "1.10.0", "x86_64"));
  EXPECT_FALSE(AppcastFeed::newest(items, "2.0.0", "x86_64"));
  EXPECT_FALSE(AppcastFeed::newest(items, "not a version", "x86_64"));
  EXPECT_TRUE(AppcastFeed::parse(feed("")).empty());
}

TEST(AppcastFeed, OffersOnlyTheRunningArchitecturesRelease) {
  // One version for two architectures is two valid items; a newer one for another
  // architecture is never offered.
  auto items = AppcastFeed::parse(
      feed(item("1.1.0", "", "", "x86_64") + item("1.1.0", "", "", "aarch64") + item("1.2.0", "", "", "aarch64")));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[1].architecture, "aarch64");
  EXPECT_EQ(AppcastFeed::newest(items, "1.0.0", "x86_64")->version, "1.1.0");
  EXPECT_EQ(AppcastFeed::newest(items, "1.0.0", "aarch64")->version, "1.2.0");
  EXPECT_FALSE(AppcastFeed::newest(items, "1.0.0", "riscv64"));
  expectRefused(feed(item("1.1.0", "", "", "x86_64") + item("1.1.0", "", "", "x86_64")), "same version twice");
  for (const char* name : {"", "X86_64", "x86-64", "x86_64 "}) expectRefused(feed(item("1.1.0", "", "", name)), name);
  expectRefused(feed(item("1.1.0", "",
                          "<enclosure url=\"https://talvo.pro/desktop-downloads/" + hash +
                              ".tar.gz\" length=\"5\" sparkle:edSignature=\"" + signature + "\"/>")),
                "no architecture");
}

TEST(AppcastFeed, RefusesMalformedFeedsAsAWhole) {
  const std::string good = item("1.2.0");
  expectRefused("this is not XML", "not XML");
  expectRefused(feed(good).substr(0, 200), "cut off");
  expectRefused("<?xml version=\"1.0\"?><feed><item/></feed>", "not RSS");
  expectRefused("<?xml version=\"1.0\"?><rss version=\"2.0\"></rss>", "no channel");
  expectRefused("<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaa\">]>" + feed(good).substr(21), "DTD");
  std::string padding(AppcastFeed::maximumBytes, ' ');
  expectRefused(feed(good) + padding, "too large");
  expectRefused(feed(good + item("1.2.0")), "duplicate version");
  expectRefused(feed("<item><enclosure url=\"x\" length=\"1\" sparkle:edSignature=\"" + signature + "\"/></item>"),
                "no version");
  expectRefused(feed("<item><sparkle:version>1.2.0</sparkle:version></item>"), "no enclosure");
  for (const char* version : {"1.2", "01.2.0", "1.2.0.0", "v1.2.0", " 1.2.0", "1234567.0.0"})
    expectRefused(feed(item(version)), version);
  expectRefused(feed(item("1.2.0", "<sparkle:shortVersionString>1.2 beta</sparkle:shortVersionString>")),
                "display version");
  const std::string url =
      "url=\"https://talvo.pro/desktop-downloads/" + hash + ".tar.gz\" sparkle:architecture=\"x86_64\"";
  expectRefused(feed(item("1.2.0", "", "<enclosure " + url + " sparkle:edSignature=\"" + signature + "\"/>")),
                "no length");
  for (const char* length : {"", "-1", "01", "12x", "99999999999999999999"})
    expectRefused(
        feed(item("1.2.0", "",
                  "<enclosure " + url + " length=\"" + length + "\" sparkle:edSignature=\"" + signature + "\"/>")),
        length);
  expectRefused(feed(item("1.2.0", "", "<enclosure " + url + " length=\"5\"/>")), "no signature");
  for (std::string bad : {std::string("not base64!"), std::string(88, 'A'), std::string(43, 'A') + "="})
    expectRefused(feed(item("1.2.0", "", "<enclosure " + url + " length=\"5\" sparkle:edSignature=\"" + bad + "\"/>")),
                  "bad signature text");
  // A signature attribute outside the appcast namespace does not count.
  expectRefused(feed(item("1.2.0", "", "<enclosure " + url + " length=\"5\" edSignature=\"" + signature + "\"/>")),
                "signature without namespace");
}

}  // namespace
}  // namespace talvo
