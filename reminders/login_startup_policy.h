#pragma once
// When the program may touch the user's login item, and what to do with it.
//
// Only a production copy installed at its canonical place may manage the login item: a
// development build or a copy run from anywhere else leaves it alone. The program turns login
// startup on by itself exactly once, on the first eligible launch, and afterwards only follows
// the user's toggle, so a user who switched it off in the system settings is not overruled.
#include <optional>
#include <string>

#include "reminders/login_startup_command.h"
#include "reminders/login_startup_state.h"
#include "reminders/login_startup_status.h"

namespace talvo::LoginStartupPolicy {

// Where a production installation puts the program.
inline constexpr const char* installedPath = "/usr/bin/talvo";

// `path`: the running program's path as it was reached; `canonicalPath`: the same with symbolic
// links resolved. A copy reached through a link or installed elsewhere is not eligible.
bool eligible(const std::optional<std::string>& bundleID, const std::string& path,
              const std::string& canonicalPath, bool production);

// The first-launch decision (runs on every launch; acts once). Updates `state` in place.
LoginStartupCommand bootstrap(bool eligible, LoginStartupStatus status, LoginStartupState& state);

// The user's toggle. Updates `state` in place.
LoginStartupCommand toggle(bool on, bool eligible, LoginStartupStatus status, LoginStartupState& state);

}  // namespace talvo::LoginStartupPolicy
