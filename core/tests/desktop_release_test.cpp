#include "core/updates/desktop_release.h"

#include <gtest/gtest.h>

#include "core/updates/update_archive_policy.h"

namespace talvo {
namespace {

const std::string hash = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string extension(UpdateArchivePolicy::archiveExtension);
const ServiceConfiguration service = ServiceConfiguration::production();

DesktopRelease release() {
  return DesktopRelease{
      "linux", "x86_64", "1.10.0", hash, "TALVO-1.10.0" + extension, "/desktop-downloads/" + hash + extension, 1000};
}

std::optional<std::string> address(const DesktopRelease& entry, const char* current = "1.9.9",
                                   const char* architecture = "x86_64", const char* origin = "https://talvo.pro") {
  auto url = entry.downloadURL(current, architecture, origin, service);
  return url ? std::optional<std::string>(url->text()) : std::nullopt;
}

TEST(DesktopRelease, VersionParts) {
  using Parts = std::array<int, 3>;
  EXPECT_EQ(DesktopRelease::versionParts("1.2.3"), (Parts{1, 2, 3}));
  EXPECT_EQ(DesktopRelease::versionParts("0.0.0"), (Parts{0, 0, 0}));
  EXPECT_EQ(DesktopRelease::versionParts("999999.0.0"), (Parts{999999, 0, 0}));
  for (const char* bad : {"01.2.3", "1.02.3", "1.2", "1.2.3.4", "1.2.3 ", " 1.2.3", "1.2.3\n", "1234567.0.0", "-1.0.0",
                          "+1.0.0", "1..3", ".1.2", "1.2.", "", "1.2.x", "１.2.3", "1.2.3-beta"}) {
    EXPECT_FALSE(DesktopRelease::versionParts(bad)) << bad;
  }
}

TEST(DesktopRelease, AcceptsOnlyANewerWellFormedBuild) {
  EXPECT_EQ(address(release()), "https://talvo.pro/desktop-downloads/" + hash + extension);
  EXPECT_EQ(address(release(), "1.9.9", "x86_64", "https://talvo.pro/"),
            "https://talvo.pro/desktop-downloads/" + hash + extension);
  EXPECT_FALSE(address(release(), "1.10.0"));  // equal
  EXPECT_FALSE(address(release(), "1.10.1"));  // newer running
  EXPECT_FALSE(address(release(), "2.0.0"));
  EXPECT_FALSE(address(release(), "1.9"));  // running version unreadable
  EXPECT_TRUE(address(release(), "0.99999.99999"));

  auto universal = release();
  universal.architecture = "universal";
  EXPECT_TRUE(address(universal, "1.9.9", "aarch64"));
  EXPECT_FALSE(address(release(), "1.9.9", "aarch64"));

  auto changed = [](auto edit) {
    DesktopRelease entry = release();
    edit(entry);
    return address(entry);
  };
  EXPECT_FALSE(changed([](auto& e) { e.platform = "macos"; }));
  EXPECT_FALSE(changed([](auto& e) { e.platform = "Linux"; }));
  EXPECT_FALSE(changed([](auto& e) { e.version = "1.10"; }));
  EXPECT_TRUE(changed([](auto& e) { e.bytes = 536870912; }));
  EXPECT_FALSE(changed([](auto& e) { e.bytes = 536870913; }));
  EXPECT_FALSE(changed([](auto& e) { e.bytes = 0; }));
  EXPECT_FALSE(changed([](auto& e) { e.bytes = -1; }));
  EXPECT_FALSE(changed([](auto& e) { e.sha256 = "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef"; }));
  EXPECT_FALSE(changed([](auto& e) { e.sha256 = hash.substr(1); }));
  EXPECT_FALSE(changed([](auto& e) { e.path = "/desktop-downloads/" + std::string(64, 'f') + extension; }));
  EXPECT_FALSE(changed([](auto& e) { e.path = "/desktop-downloads//" + hash + extension; }));
  EXPECT_FALSE(changed([](auto& e) { e.path = "/desktop-downloads/" + hash + extension + " "; }));
  EXPECT_FALSE(changed([](auto& e) { e.path = "desktop-downloads/" + hash + extension; }));
  EXPECT_TRUE(changed([](auto& e) { e.filename = "TALVO-a" + extension; }));
  EXPECT_TRUE(changed([](auto& e) { e.filename = "TALVO-" + std::string(100, 'x') + extension; }));
  EXPECT_FALSE(changed([](auto& e) { e.filename = "TALVO-" + std::string(101, 'x') + extension; }));
  EXPECT_FALSE(changed([](auto& e) { e.filename = "TALVO-" + extension; }));
  EXPECT_FALSE(changed([](auto& e) { e.filename = "talvo-1.10.0" + extension; }));
  EXPECT_FALSE(changed([](auto& e) { e.filename = "TALVO-../1.10.0" + extension; }));
  EXPECT_FALSE(changed([](auto& e) { e.filename = "TALVO-1 10" + extension; }));
  EXPECT_FALSE(changed([](auto& e) { e.filename = "TALVO-1.10.0" + extension + ".exe"; }));
}

TEST(DesktopRelease, OriginMustBeTheServiceItself) {
  for (const char* origin :
       {"http://talvo.pro", "https://talvo.pro:443", "https://user@talvo.pro", "https://user:pw@talvo.pro",
        "https://talvo.pro/api", "https://talvo.pro/?q", "https://talvo.pro/#f", "https://evil.example",
        "https://talvo.pro.evil.example", "https://talvo.pro@evil.example", "https://talvo.pro ", "talvo.pro", ""}) {
    EXPECT_FALSE(address(release(), "1.9.9", "x86_64", origin)) << origin;
  }
  // A development configuration with its own port accepts exactly that origin.
  ServiceConfiguration local{"https://127.0.0.1:8443", "t.me", std::nullopt};
  auto url = release().downloadURL("1.0.0", "x86_64", "https://127.0.0.1:8443", local);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->text(), "https://127.0.0.1:8443/desktop-downloads/" + hash + extension);
  EXPECT_FALSE(release().downloadURL("1.0.0", "x86_64", "https://127.0.0.1", local));
}

}  // namespace
}  // namespace talvo
