#pragma once
// Links into the service's Telegram bot come from the service; before one is opened it is cut
// down to the plain bot chat on the messenger's short-link host: https, that host, no user,
// password or port, a path that is one public bot name, and no query or fragment.
#include <optional>
#include <string_view>

#include "core/values/url.h"

namespace talvo {

struct TelegramDestination {
  TelegramDestination() = delete;

  // The bot-chat link derived from `text` for the configured Telegram link host, or none.
  static std::optional<Url> botChat(std::string_view text, std::string_view telegramHost);
};

}  // namespace talvo
