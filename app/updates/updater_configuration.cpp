#include "app/updates/updater_configuration.h"

#include <climits>
#include <cstdlib>

#include "app/log_categories.h"
#include "core/base64.h"
#include "core/native_product.h"

#ifndef TALVO_UPDATE_PUBLIC_KEY
#define TALVO_UPDATE_PUBLIC_KEY ""
#endif

namespace talvo {

UpdaterConfiguration UpdaterConfiguration::current() {
  UpdaterConfiguration configuration;
  configuration.service = ServiceConfiguration::current();
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
  return configuration;
}

std::optional<std::array<std::uint8_t, 32>> UpdaterConfiguration::publicKeyBytes() const {
  auto decoded = decodeBase64(publicKey);
  if (!decoded || decoded->size() != 32) return std::nullopt;
  std::array<std::uint8_t, 32> key{};
  std::copy(decoded->begin(), decoded->end(), key.begin());
  return key;
}

bool UpdaterConfiguration::valid() const {
  const bool development = !NativeProduct::production && releaseChannel == developmentChannel;
  if (releaseChannel != productionChannel && !development) return false;
  if (feedUrl != service.origin + feedPath) return false;
  if (!publicKeyBytes()) return false;
  if (installRoot.empty() || installRoot[0] != '/') return false;
  // realpath resolved every link and spells the path plainly, so after the same plain spelling
  // of the install root, equality means the installed copy runs itself.
  return executable == lexicallyNormal(installRoot) + "/bin/talvo";
}

}  // namespace talvo
