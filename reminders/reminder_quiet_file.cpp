#include "reminders/reminder_quiet_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/system/file_error.h"
#include "core/program/native_product.h"
#include "core/system/posix_file.h"
#include "core/system/unique_fd.h"

namespace talvo {

ReminderQuietFile::ReminderQuietFile(std::string path) : path_(std::move(path)) {
  auto slash = path_.rfind('/');
  directory_ = slash == std::string::npos ? "." : (slash == 0 ? "/" : path_.substr(0, slash));
  name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  if (name_.empty() || name_ == "." || name_ == "..") throw FileError(FileErrorKind::invalidFileName);
}

ReminderQuietFile ReminderQuietFile::standard() { return ReminderQuietFile(programDataDirectory() + fileName); }

std::optional<ReminderQuietState> ReminderQuietFile::load() {
  UniqueFd directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory) {
    if (errno == ENOENT) return std::nullopt;  // nothing was ever saved
    throwFileError(FileErrorKind::noPermissionRead);
  }
  struct stat info {};
  if (::fstat(directory.get(), &info) != 0) throwFileError(FileErrorKind::noPermissionRead);
  // A folder others may write into could have had the record swapped under us.
  if (!posix_file::isPrivateDirectory(info)) throw FileError(FileErrorKind::noPermissionRead);

  std::string text;
  try {
    text = posix_file::readOwnedFileAt(directory.get(), name_, sizeLimit);
  } catch (const FileError& error) {
    if (error.kind() == FileErrorKind::noSuchFile) return std::nullopt;
    throw;
  }
  return ReminderQuietState::fromJson(text);
}

void ReminderQuietFile::save(const ReminderQuietState& state) {
  posix_file::makeDirectories(directory_);
  UniqueFd directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory) throwFileError(FileErrorKind::noPermissionWrite);
  struct stat info {};
  if (::fstat(directory.get(), &info) != 0) throwFileError(FileErrorKind::noPermissionWrite);
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) throw FileError(FileErrorKind::noPermissionWrite);
  // Our own data folder is private; an older or hand-made one is narrowed to 0700 rather than
  // leaving reminders suspended for good.
  if ((info.st_mode & 0077) != 0 && ::fchmod(directory.get(), 0700) != 0)
    throwFileError(FileErrorKind::noPermissionWrite);
  posix_file::replaceFileAt(directory.get(), name_, state.toJson(), 0600);
}

}  // namespace talvo
