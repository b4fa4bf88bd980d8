#include "reminders/reminder_quiet_state.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "core/system/file_error.h"
#include "core/values/json_fields.h"

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

  try {
    ReminderQuietState state;
    const std::int64_t version = json_fields::requiredInteger(object, "version");
    if (version < std::numeric_limits<int>::min() || version > std::numeric_limits<int>::max()) throw corrupt();
    state.version = static_cast<int>(version);
    state.episodeHandled = json_fields::requiredBool(object, "episodeHandled");
    state.lastNotificationAt = json_fields::optionalNumber(object, "lastNotificationAt");
    return state;
  } catch (const JsonDecodingError&) {
    throw corrupt();
  }
}

}  // namespace talvo
