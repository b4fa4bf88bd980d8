#include "core/values/url.h"

#include <curl/curl.h>

#include <memory>

namespace talvo {
namespace {

struct UrlHandleDeleter {
  void operator()(CURLU* handle) const noexcept { curl_url_cleanup(handle); }
};

std::optional<std::string> part(CURLU* handle, CURLUPart which) {
  char* value = nullptr;
  if (curl_url_get(handle, which, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
  std::string text(value);
  curl_free(value);
  return text;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) return std::nullopt;
  }
  std::unique_ptr<CURLU, UrlHandleDeleter> handle(curl_url());
  if (!handle) return std::nullopt;
  std::string copy(text);
  if (curl_url_set(handle.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return std::nullopt;
  Url url;
  auto scheme = part(handle.get(), CURLUPART_SCHEME);
  auto host = part(handle.get(), CURLUPART_HOST);
  auto whole = part(handle.get(), CURLUPART_URL);
  if (!scheme || !host || host->empty() || !whole) return std::nullopt;
  // An address that libcurl writes back in a form it then reads as another address (for
  // example "h:/%37/x") has no single meaning: refuse it rather than let two readings differ.
  std::unique_ptr<CURLU, UrlHandleDeleter> again(curl_url());
  if (!again || curl_url_set(again.get(), CURLUPART_URL, whole->c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
      part(again.get(), CURLUPART_URL) != whole || part(again.get(), CURLUPART_HOST) != host)
    return std::nullopt;
  url.scheme_ = *scheme;
  url.host_ = *host;
  url.text_ = *whole;
  url.user_ = part(handle.get(), CURLUPART_USER);
  url.password_ = part(handle.get(), CURLUPART_PASSWORD);
  if (auto port = part(handle.get(), CURLUPART_PORT)) {
    try {
      url.port_ = std::stoi(*port);
    } catch (...) {
      return std::nullopt;
    }
  }
  url.path_ = part(handle.get(), CURLUPART_PATH).value_or("/");
  url.query_ = part(handle.get(), CURLUPART_QUERY);
  url.fragment_ = part(handle.get(), CURLUPART_FRAGMENT);
  return url;
}

}  // namespace talvo
