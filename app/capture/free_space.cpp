#include "app/capture/free_space.h"

#include <cerrno>

#include "core/system/file_error.h"
#include "core/system/system_call.h"

namespace talvo {

std::optional<std::uint64_t> availableBytes(const std::string& path) {
  struct statvfs info {};
  if (system_call::statvfs(path.c_str(), &info) != 0) {
    throwFileError(errno == ENOENT ? FileErrorKind::noSuchFile : FileErrorKind::unknownRead);
  }
  if (info.f_frsize == 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
}

}  // namespace talvo
