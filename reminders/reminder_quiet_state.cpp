#include "reminders/reminder_quiet_state.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "core/file_error.h"

namespace talvo {

bool ReminderQuietState::trusted() const noexcept {
  if (version != 1) return false;
  return !lastNotificationAt || (std::isfinite(*lastNotificationAt) && *lastNotificationAt >= 0);
}

std::string ReminderQuietState::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  object["version"] = version;
  object["episodeHandled"] = episodeHandled;
  if (lastNotificationAt) object["lastNotificationAt"] = *lastNotificationAt;
  return object.dump();
}

ReminderQuietState ReminderQuietState::fromJson(std::string_view text) {
  const auto corrupt = [] { return FileError(FileErrorKind::corruptFile); };
  nlohmann::json object = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) throw corrupt();  // also the "discarded" value of a parse error

  auto version = object.find("version");
  auto handled = object.find("episodeHandled");
  if (version == object.end() || handled == object.end()) throw corrupt();
  if (!version->is_number_integer() || !handled->is_boolean()) throw corrupt();

  ReminderQuietState state;
  if (version->is_number_unsigned()) {
    auto value = version->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) throw corrupt();
    state.version = static_cast<int>(value);
  } else {
    auto value = version->get<std::int64_t>();
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) throw corrupt();
    state.version = static_cast<int>(value);
  }
  state.episodeHandled = handled->get<bool>();

  if (auto last = object.find("lastNotificationAt"); last != object.end() && !last->is_null()) {
    if (!last->is_number()) throw corrupt();
    state.lastNotificationAt = last->get<double>();
  }
  return state;
}

}  // namespace talvo
