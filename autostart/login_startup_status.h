#pragma once
// The state of the program's autostart entry as the platform reports it.
#include <cstdint>

namespace talvo {

enum class LoginStartupStatus { notRegistered, enabled, requiresApproval, notFound };

// Maps the platform's numbering 0…3 onto the cases in order; any other value means the
// platform does not know the item, which is the status that registers nothing by itself.
constexpr LoginStartupStatus loginStartupStatusFromRaw(std::int64_t raw) noexcept {
  switch (raw) {
    case 0:
      return LoginStartupStatus::notRegistered;
    case 1:
      return LoginStartupStatus::enabled;
    case 2:
      return LoginStartupStatus::requiresApproval;
    default:
      return LoginStartupStatus::notFound;
  }
}

}  // namespace talvo
