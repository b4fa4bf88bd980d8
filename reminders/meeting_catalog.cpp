#include "reminders/meeting_catalog.h"

#include "core/native_product.h"

namespace talvo {

const std::unordered_map<std::string, MeetingApplication>& MeetingCatalog::knownApplications() {
  static const std::unordered_map<std::string, MeetingApplication> table = {
      {"us.zoom.xos", MeetingApplication::zoom},
      {"ru.yandex.desktop.telemost", MeetingApplication::telemost},
      {"ru.yandex.desktop.yandex-browser", MeetingApplication::yandex},
      {"ru.yandex.desktop.yandex-browser.helper", MeetingApplication::yandex},
      {"ru.yandex.desktop.yandex-browser.helper.renderer", MeetingApplication::yandex},
      {"com.google.Chrome", MeetingApplication::chrome},
      {"com.google.Chrome.helper", MeetingApplication::chrome},
      {"com.google.Chrome.helper.renderer", MeetingApplication::chrome},
      {"com.apple.Safari", MeetingApplication::safari},
      {"com.microsoft.edgemac", MeetingApplication::edge},
  };
  return table;
}

std::optional<MeetingApplication> MeetingCatalog::application(const MeetingProcess& process,
                                                              std::int32_t ownPID) const {
  if (process.pid < 1 || process.pid == ownPID || !process.runningInput || !process.bundleID)
    return std::nullopt;
  const std::string& id = *process.bundleID;
  const std::string own = NativeProduct::bundleIdentifier;
  if (id == own || id.starts_with(own + ".")) return std::nullopt;
  if (bundles.empty()) return std::nullopt;
  auto found = bundles.find(id);
  if (found == bundles.end()) return std::nullopt;
  return found->second;
}

}  // namespace talvo
