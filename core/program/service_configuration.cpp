#include "core/program/service_configuration.h"

#include <string>

#include "core/program/native_product.h"
#include "core/values/url.h"

namespace talvo {

ServiceConfiguration ServiceConfiguration::production() {
  return ServiceConfiguration{productionOrigin, productionTelegramHost, std::nullopt};
}

ServiceConfiguration ServiceConfiguration::withOverrides(const char* origin, const char* telegramHost,
                                                         const char* caFile) {
  ServiceConfiguration configuration = production();
  if constexpr (NativeProduct::production) return configuration;
  if (origin != nullptr && *origin != '\0') {
    auto url = Url::parse(origin);
    if (url && url->scheme() == "https" && !url->user() && !url->password() && url->path() == "/" && !url->query() &&
        !url->fragment()) {
      configuration.origin = "https://" + url->host();
      if (url->port()) configuration.origin += ":" + std::to_string(*url->port());
    }
  }
  if (telegramHost != nullptr && *telegramHost != '\0') configuration.telegramHost = telegramHost;
  if (caFile != nullptr && caFile[0] == '/') configuration.caFile = caFile;
  return configuration;
}

}  // namespace talvo
