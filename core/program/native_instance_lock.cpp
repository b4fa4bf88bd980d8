#include "core/program/native_instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/system/file_error.h"
#include "core/system/posix_file.h"

namespace talvo {

NativeInstanceLock::NativeInstanceLock(const std::string& directory) {
  posix_file::makeDirectories(directory);
  // Opened with O_NOFOLLOW (also when the name ends in a slash) and checked to be ours alone.
  UniqueFd dir = posix_file::openPrivateDirectory(directory, FileErrorKind::noPermissionRead);

  UniqueFd lock(::openat(dir.get(), ".instance.lock", O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock) throwFileError(FileErrorKind::noPermissionRead);
  struct stat info {};
  if (::fstat(lock.get(), &info) != 0) throwFileError(FileErrorKind::locking);
  if (!posix_file::isOwnedSingleLinkFile(info) || (info.st_mode & 0077) != 0) throw FileError(FileErrorKind::locking);
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) throwFileError(FileErrorKind::locking);
  fd_ = std::move(lock);
}

}  // namespace talvo
