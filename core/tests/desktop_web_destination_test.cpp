// Hand-off addresses into the web library.
#include "core/program/desktop_web_destination.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/values/base64.h"

namespace talvo {
namespace {

constexpr const char* libraryUrl = "https://talvo.pro/library/";

std::string handoff(const std::string& value) { return std::string(libraryUrl) + "#handoff=" + value; }

TEST(DesktopWebDestination, AcceptsOnlyCanonical32ByteHandoffs) {
  std::vector<std::uint8_t> bytes(32);
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::string value = encodeBase64Url(bytes);
  ASSERT_EQ(value.size(), 43u);
  auto url = DesktopWebDestination::libraryHandoff(handoff(value), libraryUrl);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->fragment(), "handoff=" + value);

  std::string stray = value;  // same bytes, stray low bits in the last character
  stray.back() = static_cast<char>(stray.back() + 1);
  for (const std::string& bad : {value.substr(0, 42), value + "A", "+" + value.substr(1), "/" + value.substr(1),
                                 value.substr(0, 42) + "=", stray}) {
    EXPECT_FALSE(DesktopWebDestination::libraryHandoff(handoff(bad), libraryUrl)) << bad;
  }
  EXPECT_FALSE(DesktopWebDestination::libraryHandoff(std::string(libraryUrl) + "?x=1#handoff=" + value, libraryUrl));
  EXPECT_FALSE(DesktopWebDestination::libraryHandoff("https://evil.example/library/#handoff=" + value, libraryUrl));
}

TEST(DesktopWebDestination, LibraryIsOnTheConfiguredOrigin) {
  EXPECT_EQ(DesktopWebDestination::library(ServiceConfiguration::production()).text(), libraryUrl);
  ServiceConfiguration local{"https://127.0.0.1:8443", "t.me", std::nullopt};
  EXPECT_EQ(DesktopWebDestination::library(local).text(), "https://127.0.0.1:8443/library/");
}

}  // namespace
}  // namespace talvo
