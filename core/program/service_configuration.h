#pragma once
// Where the transcription service and the messenger live. Production builds use the fixed
// constants; development builds may point the program at a local fake service through
//   TALVO_SERVICE_ORIGIN  (e.g. https://127.0.0.1:8443)
//   TALVO_TELEGRAM_HOST   (host of the messenger's short links)
//   TALVO_CA_FILE         (PEM file of the certificate authority to trust for the origin)
#include <optional>
#include <string>

namespace talvo {

struct ServiceConfiguration {
  static constexpr const char* productionOrigin = "https://talvo.pro";
  static constexpr const char* productionTelegramHost = "t.me";

  std::string origin;                 // "https://host[:port]", no path, no trailing slash
  std::string telegramHost;           // lower-case host name
  std::optional<std::string> caFile;  // none: the system's trust store

  // The fixed production values.
  static ServiceConfiguration production();
  // The configuration of this build: production(), or in a development build the environment
  // overrides applied on top (an override that is not a valid https origin is ignored).
  static ServiceConfiguration current();
};

}  // namespace talvo
