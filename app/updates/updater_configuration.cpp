#include "app/updates/updater_configuration.h"

#include <climits>
#include <cstdlib>

#include "app/log_categories.h"
#include "core/values/base64.h"
#include "core/program/native_product.h"

#ifndef TALVO_UPDATE_PUBLIC_KEY
#define TALVO_UPDATE_PUBLIC_KEY ""
#endif

namespace talvo {

UpdaterConfiguration UpdaterConfiguration::current(const ServiceConfiguration& service) {
  UpdaterConfiguration configuration;
  configuration.service = service;
  configuration.feedUrl = configuration.service.origin + feedPath;
  configuration.publicKey = TALVO_UPDATE_PUBLIC_KEY;
  if constexpr (NativeProduct::production) {
    configuration.releaseChannel = productionChannel;
  } else if (const char* key = std::getenv("TALVO_UPDATE_KEY"); key != nullptr && *key != '\0') {
    configuration.releaseChannel = developmentChannel;
    configuration.publicKey = key;
  }
  configuration.currentVersion = TALVO_VERSION;
  try {
    configuration.installRoot = programDataDirectory() + "app";
  } catch (const std::exception& error) {
    // No data directory: no install place, so nothing to update.
    qCDebug(updatesLog) << "no program data directory:" << error.what() << "- no updates";
  }
  char resolved[PATH_MAX];
  if (realpath("/proc/self/exe", resolved) != nullptr) configuration.executable = resolved;
  configuration.installedProgram = canonicalInstalledProgram();
  return configuration;
}

std::optional<std::array<std::uint8_t, 32>> UpdaterConfiguration::publicKeyBytes() const {
  auto decoded = decodeBase64(publicKey);
  if (!decoded || decoded->size() != 32) return std::nullopt;
  std::array<std::uint8_t, 32> key{};
  std::copy(decoded->begin(), decoded->end(), key.begin());
  return key;
}

std::optional<std::string> UpdaterConfiguration::whyInert() const {
  const bool development = !NativeProduct::production && releaseChannel == developmentChannel;
  if (releaseChannel != productionChannel && !development)
    return "no release channel (a development build without TALVO_UPDATE_KEY)";
  if (feedUrl != service.origin + feedPath) return "the feed is not " + service.origin + feedPath;
  if (!publicKeyBytes()) return std::string("the public key is not Base64 of 32 bytes");
  if (installRoot.empty() || installRoot[0] != '/') return std::string("no install place");
  if (installedProgram.empty()) return "nothing installed at " + installRoot + "/bin/talvo without a link inside";
  if (executable != installedProgram) return "running " + executable + ", not the installed " + installedProgram;
  return std::nullopt;
}

}  // namespace talvo
