#pragma once
// The careful copy of a finished recording into the user's folder: never overwrites, never
// follows a symbolic link, copies only files that look like this program's recordings (a
// lower-case version-4 UUID name ending in ".wav", a regular file of this user with one link,
// 44 bytes to 2 GiB), and makes the copy appear under its final name only once it is complete:
// a hidden temporary file ".talvo-…", fsynced, then published without replacing anything, the
// directory fsynced. Whatever fails leaves nothing behind in the destination.
//
// Publishing: a hard link to the final name (fails if it exists); where the file system has no
// hard links (FAT, exFAT, NTFS-3G, most FUSE), renameat2(RENAME_NOREPLACE); where that flag is
// refused too (many FUSE file systems), the final name is claimed with an empty file created
// O_EXCL and the finished temporary renamed over that claim. The last way replaces a file only
// if another program swapped our claim for its own in the instant between the check and the
// rename, and a crash in that instant leaves the empty claim beside the temporary; the next copy
// or start removes both (removeLeftovers).
#include <string>

namespace talvo::LocalRecordingExport {

// Throws FileError (the kind names the check that failed); returns `directory`/<source's name>.
std::string copy(const std::string& source, const std::string& directory);

// The destination checks of `copy` alone: `directory` is a directory of this user, not a link,
// that others may not write. Throws FileError(noPermissionWrite).
void checkDestination(const std::string& directory);

// Removes what a copy cut short by a crash left in `directory`. Never throws.
void removeLeftovers(const std::string& directory) noexcept;

}  // namespace talvo::LocalRecordingExport
