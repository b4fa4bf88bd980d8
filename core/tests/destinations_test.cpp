// Hand-off addresses into the web library and Telegram bot-chat links.
#include <gtest/gtest.h>

#include <vector>

#include "core/base64.h"
#include "core/desktop_web_destination.h"
#include "core/telegram_destination.h"

namespace talvo {
namespace {

constexpr const char* kLibrary = "https://talvo.pro/library/";

std::string handoff(const std::string& value) { return std::string(kLibrary) + "#handoff=" + value; }

TEST(DesktopWebDestination, AcceptsOnlyCanonical32ByteHandoffs) {
  std::vector<std::uint8_t> bytes(32);
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::string value = encodeBase64Url(bytes);
  ASSERT_EQ(value.size(), 43u);
  auto url = DesktopWebDestination::libraryHandoff(handoff(value), kLibrary);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->fragment(), "handoff=" + value);

  std::string stray = value;  // same bytes, stray low bits in the last character
  stray.back() = static_cast<char>(stray.back() + 1);
  for (const std::string& bad : {value.substr(0, 42), value + "A", "+" + value.substr(1), "/" + value.substr(1),
                                 value.substr(0, 42) + "=", stray}) {
    EXPECT_FALSE(DesktopWebDestination::libraryHandoff(handoff(bad), kLibrary)) << bad;
  }
  EXPECT_FALSE(DesktopWebDestination::libraryHandoff(std::string(kLibrary) + "?x=1#handoff=" + value, kLibrary));
  EXPECT_FALSE(DesktopWebDestination::libraryHandoff("https://evil.example/library/#handoff=" + value, kLibrary));
}

TEST(DesktopWebDestination, LibraryIsOnTheConfiguredOrigin) {
  EXPECT_EQ(DesktopWebDestination::library().path(), "/library/");
  EXPECT_EQ(DesktopWebDestination::library().scheme(), "https");
}

TEST(TelegramDestination, BotChatIsCutDownToTheBareBotLink) {
  auto chat = TelegramDestination::botChat("https://t.me/talvo_bot?start=abc#frag", "t.me");
  ASSERT_TRUE(chat);
  EXPECT_EQ(chat->text(), "https://t.me/talvo_bot");
  EXPECT_TRUE(TelegramDestination::botChat("https://t.me/abcde", "t.me"));
  for (const char* refused : {"https://t.me/abcd", "https://t.me/1abcde", "https://t.me:443/talvo_bot",
                              "http://t.me/talvo_bot", "https://evil.example/talvo_bot", "https://u@t.me/talvo_bot",
                              "https://t.me/talvo_bot/extra", "https://t.me/" "abcdefghijklmnopqrstuvwxyz1234567",
                              "https://t.me/talvo%5Fbot", "not a url"}) {
    EXPECT_FALSE(TelegramDestination::botChat(refused, "t.me")) << refused;
  }
}

}  // namespace
}  // namespace talvo
