#include "autostart/login_startup_state.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "core/values/json_fields.h"
#include "core/system/log_sink.h"

namespace talvo {

std::string LoginStartupState::toJson() const {
  nlohmann::json object = {{"initialized", initialized}, {"desired", desired}};
  return object.dump();
}

LoginStartupState LoginStartupState::fromJson(std::string_view text) {
  if (text.size() > sizeLimit) throw std::invalid_argument("login startup state too long");
  nlohmann::json object = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) throw std::invalid_argument("login startup state is not a JSON object");
  try {
    return LoginStartupState{json_fields::requiredBool(object, "initialized"),
                             json_fields::requiredBool(object, "desired")};
  } catch (const JsonDecodingError&) {
    throw std::invalid_argument("login startup state lacks its Boolean fields");
  }
}

LoginStartupState LoginStartupState::fromStored(const std::optional<std::string>& stored) noexcept {
  if (!stored) return {};
  try {
    return fromJson(*stored);
  } catch (...) {
    logSwallowed(log_category::reminders, "login startup state unreadable", "starting from a fresh state");
    return {};
  }
}

}  // namespace talvo
