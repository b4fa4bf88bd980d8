// Telegram bot-chat links.
#include "core/program/telegram_destination.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

TEST(TelegramDestination, BotChatIsCutDownToTheBareBotLink) {
  auto chat = TelegramDestination::botChat("https://t.me/talvo_bot?start=abc#frag", "t.me");
  ASSERT_TRUE(chat);
  EXPECT_EQ(chat->text(), "https://t.me/talvo_bot");
  EXPECT_TRUE(TelegramDestination::botChat("https://t.me/abcde", "t.me"));
  for (const char* refused :
       {"https://t.me/abcd", "https://t.me/1abcde", "https://t.me:443/talvo_bot", "http://t.me/talvo_bot",
        "https://evil.example/talvo_bot", "https://u@t.me/talvo_bot", "https://t.me/talvo_bot/extra",
        "https://t.me/"
        "abcdefghijklmnopqrstuvwxyz1234567",
        "https://t.me/talvo%5Fbot", "not a url"}) {
    EXPECT_FALSE(TelegramDestination::botChat(refused, "t.me")) << refused;
  }
}

}  // namespace
}  // namespace talvo
