#include "app/capture/free_space.h"

#include <sys/statvfs.h>

#include <cerrno>

#include "core/file_error.h"

namespace talvo {

std::optional<std::uint64_t> availableBytes(const std::string& path) {
  struct statvfs info {};
  int result;
  do {
    result = statvfs(path.c_str(), &info);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    throwFileError(errno == ENOENT ? FileErrorKind::noSuchFile : FileErrorKind::unknownRead);
  }
  if (info.f_frsize == 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
}

}  // namespace talvo
