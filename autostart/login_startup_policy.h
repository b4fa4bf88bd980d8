#pragma once
// When the program may touch the user's autostart entry, and what to do with it.
//
// Only a production copy installed at its canonical place may manage the autostart entry: a
// development build or a copy run from anywhere else leaves it alone. The program turns login
// startup on by itself exactly once, on the first eligible launch, and afterwards only follows
// the user's toggle, so a user who switched it off in the system settings is not overruled.
#include <optional>
#include <string>

#include "autostart/login_startup_command.h"
#include "autostart/login_startup_state.h"
#include "autostart/login_startup_status.h"

namespace talvo::LoginStartupPolicy {

// Where the per-user installation puts the program: <user data>/TALVO/app/bin/talvo
// ($XDG_DATA_HOME, else ~/.local/share). Empty when the user has no data directory.
std::string installedPath();

// `path`: the real path of the running program (/proc/self/exe); `canonicalPath`: the installed
// program's path with symbolic links resolved. Eligible when both are canonicalInstalledProgram():
// a copy run from anywhere else, or an install tree with a symbolic link inside, is not; a data
// home reached through a symbolic link is fine.
bool eligible(const std::optional<std::string>& applicationId, const std::string& path,
              const std::string& canonicalPath, bool production);

// The first-launch decision (runs on every launch; acts once). Updates `state` in place.
LoginStartupCommand bootstrap(bool eligible, LoginStartupStatus status, LoginStartupState& state);

// The user's toggle. Updates `state` in place.
LoginStartupCommand toggle(bool on, bool eligible, LoginStartupStatus status, LoginStartupState& state);

}  // namespace talvo::LoginStartupPolicy
