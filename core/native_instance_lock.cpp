#include "core/native_instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/file_error.h"
#include "core/posix_file.h"

namespace talvo {
namespace {

// "dir/" would make open() follow a symbolic link named "dir" in spite of O_NOFOLLOW, and the
// recordings directory is usually spelled with a trailing slash.
std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

NativeInstanceLock::NativeInstanceLock(const std::string& directory) {
  const std::string path = withoutTrailingSlashes(directory);
  posix_file::makeDirectories(path);
  UniqueFd dir = posix_file::openPrivateDirectory(path, FileErrorKind::noPermissionRead);

  UniqueFd lock(::openat(dir.get(), ".instance.lock", O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock) throwFileError(FileErrorKind::noPermissionRead);
  struct stat info {};
  if (::fstat(lock.get(), &info) != 0) throwFileError(FileErrorKind::locking);
  if (!posix_file::isOwnedSingleLinkFile(info) || (info.st_mode & 0077) != 0) throw FileError(FileErrorKind::locking);
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) throwFileError(FileErrorKind::locking);
  fd_ = std::move(lock);
}

}  // namespace talvo
