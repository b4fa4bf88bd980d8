#pragma once
// Product identity constants and the place where recordings live.
#include <string>

namespace talvo {

namespace NativeProduct {
inline constexpr bool production = TALVO_PRODUCTION != 0;
inline constexpr const char* name = "TALVO";
// The application id: the D-Bus name of a running instance and the desktop entry's name.
inline constexpr const char* applicationId = "pro.talvo.recorder";
inline constexpr const char* dataDirectoryName = "TALVO";
// This build's processor architecture as release archives and the update feed name it.
inline constexpr const char* architecture = TALVO_ARCHITECTURE;
// Secret Service attribute "service" of the device credentials.
inline constexpr const char* deviceCredentialsService = "pro.talvo.recorder.device.v1";
}  // namespace NativeProduct

// `path` with repeated slashes, "." components and a trailing slash removed: the spelling the
// kernel gives a real path, so paths compare as strings. ".." is kept (undoing it lexically could
// step out of a link), and a relative path stays relative.
std::string lexicallyNormal(const std::string& path);

// $XDG_DATA_HOME (an absolute path), else $HOME/.local/share, lexically normal. Throws std::runtime_error when
// neither gives an absolute path: without it the program has nowhere to keep recordings.
std::string userDataDirectory();

// The installed program <user data>/TALVO/app/bin/talvo as the kernel names it (/proc/self/exe
// spells a running program that way): the user data directory's real path, so a home reached
// through a symbolic link is still the same home, followed by TALVO/.app-tree-XXXXXX/bin/talvo
// when TALVO/app is the installer's link to that sibling tree (else TALVO/app/bin/talvo), with no
// other link below. Empty when the program is not installed there, or a link lies inside it.
std::string canonicalInstalledProgram();

// <user data>/TALVO/ — the program's own folder (quiet record lives here).
std::string programDataDirectory();

// <user data>/TALVO/Recordings/ — recordings, capture reports, queue records and the lock.
std::string recordingsDirectory();

}  // namespace talvo
