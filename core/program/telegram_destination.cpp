#include "core/program/telegram_destination.h"

#include <string>

namespace talvo {
namespace {

// "/" and a public name: a letter, then 4 to 31 letters, digits or "_".
bool isBotPath(const std::string& path) {
  if (path.size() < 6 || path.size() > 33 || path[0] != '/') return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (!letter(path[1])) return false;
  for (std::size_t i = 2; i < path.size(); ++i) {
    char c = path[i];
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '_') return false;
  }
  return true;
}

}  // namespace

std::optional<Url> TelegramDestination::botChat(std::string_view text, std::string_view telegramHost) {
  auto url = Url::parse(text);
  if (!url) return std::nullopt;
  if (url->scheme() != "https" || url->host() != telegramHost) return std::nullopt;
  if (url->user() || url->password() || url->port()) return std::nullopt;
  if (!isBotPath(url->path())) return std::nullopt;
  return Url::parse("https://" + url->host() + url->path());
}

}  // namespace talvo
