// The stored login-startup intent: refused with std::invalid_argument or read exactly, and a
// launch never fails on whatever the settings store holds.
#include <stdexcept>

#include "fuzz/fuzz_support.h"
#include "autostart/login_startup_state.h"

using namespace talvo;

TALVO_FUZZ(data) {
  const std::string stored(fuzz::text(data, size));
  const auto launch = LoginStartupState::fromStored(stored);
  try {
    const auto state = LoginStartupState::fromJson(stored);
    fuzz::require(launch == state, "a launch ignored a readable state");
    fuzz::require(LoginStartupState::fromJson(state.toJson()) == state, "state round trip");
  } catch (const std::invalid_argument&) {
    fuzz::require(launch == LoginStartupState{}, "an unreadable state was used");
  }
  return 0;
}
