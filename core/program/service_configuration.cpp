#include "core/program/service_configuration.h"

#include <cstdlib>

#include "core/program/native_product.h"
#include "core/values/url.h"

namespace talvo {

ServiceConfiguration ServiceConfiguration::production() {
  return ServiceConfiguration{productionOrigin, productionTelegramHost, std::nullopt};
}

ServiceConfiguration ServiceConfiguration::current() {
  ServiceConfiguration configuration = production();
  if constexpr (NativeProduct::production) return configuration;
  if (const char* origin = std::getenv("TALVO_SERVICE_ORIGIN"); origin != nullptr && *origin != '\0') {
    auto url = Url::parse(origin);
    if (url && url->scheme() == "https" && !url->user() && !url->password() && url->path() == "/" && !url->query() &&
        !url->fragment()) {
      configuration.origin = "https://" + url->host();
      if (url->port()) configuration.origin += ":" + std::to_string(*url->port());
    }
  }
  if (const char* host = std::getenv("TALVO_TELEGRAM_HOST"); host != nullptr && *host != '\0')
    configuration.telegramHost = host;
  if (const char* ca = std::getenv("TALVO_CA_FILE"); ca != nullptr && ca[0] == '/') configuration.caFile = ca;
  return configuration;
}

}  // namespace talvo
