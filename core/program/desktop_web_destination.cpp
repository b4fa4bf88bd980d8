#include "core/program/desktop_web_destination.h"

#include <stdexcept>

#include "core/values/base64.h"

namespace talvo {
namespace {

bool isHandoffCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

}  // namespace

Url DesktopWebDestination::library(const ServiceConfiguration& configuration) {
  auto url = Url::parse(configuration.origin + "/library/");
  // The origin is a checked constant (or a checked override): failing here is a program error.
  if (!url) throw std::logic_error("the service origin does not form a library address");
  return *url;
}

std::optional<Url> DesktopWebDestination::libraryHandoff(std::string_view text, std::string_view libraryAddress) {
  std::string prefix = std::string(libraryAddress) + "#handoff=";
  if (text.size() < prefix.size() || text.substr(0, prefix.size()) != prefix) return std::nullopt;
  std::string_view value = text.substr(prefix.size());
  if (value.size() != 43) return std::nullopt;
  for (char c : value) {
    if (!isHandoffCharacter(c)) return std::nullopt;
  }
  // Standard Base64 with its padding, decoded, must give exactly 32 bytes that encode back to
  // the same text: a last character with stray low bits names the same bytes and is refused.
  std::string standard(value);
  for (char& c : standard) {
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  standard.push_back('=');
  auto bytes = decodeBase64(standard);
  if (!bytes || bytes->size() != 32) return std::nullopt;
  std::string again = encodeBase64(*bytes);
  std::string canonical;
  for (char c : again) {
    if (c == '=') continue;
    canonical.push_back(c == '+' ? '-' : c == '/' ? '_' : c);
  }
  if (canonical != value) return std::nullopt;
  return Url::parse(text);
}

}  // namespace talvo
