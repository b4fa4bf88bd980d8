#include "reminders/meeting_catalog.h"

#include "core/program/native_product.h"

namespace talvo {

// Keyed on the recording stream's executable name (`application.process.binary`) and, for
// sandboxed installs, the Flatpak application id. `application.name` is useless here: every
// Electron program calls itself "Chromium". Telemost has no Linux client (a call in a browser
// matches that browser) and Safari does not exist on Linux, so neither has an entry.
const std::unordered_map<std::string, MeetingApplication>& MeetingCatalog::knownApplications() {
  static const std::unordered_map<std::string, MeetingApplication> table = {
      {"zoom", MeetingApplication::zoom},
      {"zoom.real", MeetingApplication::zoom},
      {"us.zoom.Zoom", MeetingApplication::zoom},
      {"yandex_browser", MeetingApplication::yandex},
      {"ru.yandex.Browser", MeetingApplication::yandex},
      {"chrome", MeetingApplication::chrome},
      {"com.google.Chrome", MeetingApplication::chrome},
      {"msedge", MeetingApplication::edge},
      {"com.microsoft.Edge", MeetingApplication::edge},
      {"chromium", MeetingApplication::chromium},
      {"chromium-browser", MeetingApplication::chromium},
      {"org.chromium.Chromium", MeetingApplication::chromium},
      {"firefox", MeetingApplication::firefox},
      {"firefox-esr", MeetingApplication::firefox},
      {"org.mozilla.firefox", MeetingApplication::firefox},
  };
  return table;
}

std::optional<MeetingApplication> MeetingCatalog::application(const MeetingProcess& process,
                                                              std::int32_t ownPID) const {
  if (process.pid < 1 || process.pid == ownPID || !process.runningInput || !process.executableOrAppId)
    return std::nullopt;
  const std::string& id = *process.executableOrAppId;
  const std::string own = NativeProduct::applicationId;
  if (id == own || id.starts_with(own + ".")) return std::nullopt;
  if (applications.empty()) return std::nullopt;
  auto found = applications.find(id);
  if (found == applications.end()) return std::nullopt;
  return found->second;
}

}  // namespace talvo
