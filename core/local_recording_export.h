#pragma once
// The careful copy of a finished recording into the user's folder: never overwrites, never
// follows a symbolic link, copies only files that look like this program's recordings (a
// lower-case version-4 UUID name ending in ".wav", a regular file of this user with one link,
// 44 bytes to 2 GiB), and makes the copy appear atomically under its final name: a hidden
// temporary file, fsynced, linked to the final name (failing if it exists), the directory
// fsynced. Whatever fails leaves nothing behind in the destination.
#include <string>

namespace talvo::LocalRecordingExport {

// Throws FileError (the kind names the check that failed); returns `directory`/<source's name>.
std::string copy(const std::string& source, const std::string& directory);

}  // namespace talvo::LocalRecordingExport
