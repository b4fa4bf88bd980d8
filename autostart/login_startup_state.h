#pragma once
// The user's login-startup intent, kept in the settings store under "loginStartupState" as the
// bytes of a small JSON object: {"desired":true,"initialized":true}.
#include <optional>
#include <string>
#include <string_view>

namespace talvo {

struct LoginStartupState {
  static constexpr const char* settingsKey = "loginStartupState";
  // Stored text longer than this is not ours and is not parsed at all.
  static constexpr std::size_t sizeLimit = 1024;

  bool initialized = false;  // the first-launch decision has been made for this user
  bool desired = false;      // what the program last decided or the user last chose

  bool operator==(const LoginStartupState&) const = default;

  std::string toJson() const;
  // Strict: an object whose "initialized" and "desired" are both present and Boolean; throws
  // std::invalid_argument otherwise (also for text over sizeLimit).
  static LoginStartupState fromJson(std::string_view text);
  // What a launch starts from: the stored state, or {false, false} when nothing usable is
  // stored, so the next eligible launch simply makes the first-launch decision again.
  static LoginStartupState fromStored(const std::optional<std::string>& stored) noexcept;
};

}  // namespace talvo
