#pragma once
// The reminder's quiet record: whether the current meeting episode has been dealt with and when
// the last reminder went out. It is kept on disk so that a restart in the middle of a call does
// not remind again and two reminders are never closer than the spacing the engine enforces.
#include <optional>
#include <string>
#include <string_view>

namespace talvo {

struct ReminderQuietState {
  int version = 1;
  bool episodeHandled = false;
  // Wall-clock seconds since 1970 of the last reminder actually shown.
  std::optional<double> lastNotificationAt;

  ReminderQuietState() = default;
  ReminderQuietState(bool handled, std::optional<double> lastNotification)
      : version(1), episodeHandled(handled), lastNotificationAt(lastNotification) {}

  bool operator==(const ReminderQuietState&) const = default;

  // A record this program would have written: version 1 and, when present, a finite time that
  // is not negative. Anything else is treated like a damaged file.
  bool trusted() const noexcept;

  // {"episodeHandled":…,"lastNotificationAt":…,"version":1}; the time is left out when absent.
  std::string toJson() const;
  // Strict decoding: an object with an integer "version", a Boolean "episodeHandled" and an
  // optional number "lastNotificationAt" (null counts as absent). Wrong types, missing keys
  // and malformed text throw FileError(corruptFile). It does not judge the values (trusted()).
  static ReminderQuietState fromJson(std::string_view text);
};

}  // namespace talvo
