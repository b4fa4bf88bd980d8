#pragma once
// Where the transcription service and the messenger live. Production builds use the fixed
// constants; development builds may point the program at a local fake service. The program
// decides this once at its start (from its environment) and hands the result down: nothing
// here reads the environment.
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
  // The configuration of this build: production(), or in a development build the given
  // overrides applied on top. Null or empty means no override; an origin that is not a bare
  // https origin and a CA file that is not an absolute path are ignored.
  static ServiceConfiguration withOverrides(const char* origin, const char* telegramHost, const char* caFile);
};

}  // namespace talvo
