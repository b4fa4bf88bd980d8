#include "core/values/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace talvo {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64, MatchesTheStandardVectorsInBothAlphabets) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (auto [plain, encoded] : vectors) {
    EXPECT_EQ(encodeBase64(bytesOf(plain)), encoded);
    EXPECT_EQ(decodeBase64(encoded), bytesOf(plain)) << encoded;
    std::string unpadded(encoded);
    unpadded.erase(unpadded.find_last_not_of('=') + 1);
    EXPECT_EQ(encodeBase64Url(bytesOf(plain)), unpadded);
    EXPECT_EQ(decodeBase64Url(unpadded), bytesOf(plain)) << unpadded;
  }
  const std::vector<std::uint8_t> high{0xfb, 0xff, 0xbf};
  EXPECT_EQ(encodeBase64(high), "+/+/");
  EXPECT_EQ(encodeBase64Url(high), "-_-_");
}

TEST(Base64, RoundTripsEveryLength) {
  std::mt19937 random(7);
  for (std::size_t length = 0; length < 70; ++length) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    EXPECT_EQ(decodeBase64Url(encodeBase64Url(bytes)), bytes);
    EXPECT_EQ(decodeBase64(encodeBase64(bytes)), bytes);
  }
}

TEST(Base64, AcceptsOnlyTheCanonicalText) {
  for (const char* text : {"Zg==", "Zm8=", "Z", "Zh", "Zm9", "Zm9vYh", "Zm+v", "Zm/v", "Zm9v ", " Zm9v", "Zm9v\n",
                           "Zm\0v", "Zm9v=", "\xc3\xa9"}) {
    EXPECT_FALSE(decodeBase64Url(text).has_value()) << text;
  }
  EXPECT_FALSE(decodeBase64Url(std::string_view("Zm\0v", 4)).has_value());
  for (const char* text : {"Zg", "Zg=", "Zm8", "Zh==", "Zm9=", "Z===", "====", "Zg==Zg==", "Zm9v====", "-_8=", "Zm9v\n",
                           "Zg=A", "Zm 9v"}) {
    EXPECT_FALSE(decodeBase64(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace talvo
