#include "core/recording/local_recording_export.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/system/file_error.h"
#include "core/system/log_sink.h"
#include "core/system/posix_file.h"
#include "core/values/recording_id.h"
#include "core/system/system_call.h"
#include "core/system/unique_fd.h"

namespace talvo::LocalRecordingExport {
namespace {

constexpr std::size_t chunkSize = 1048576;
constexpr off_t minimumSize = 44;          // a WAV header
constexpr off_t maximumSize = 2147483648;  // 2 GiB

// The temporary name is removed on every way out; after the link it is only a second name.
class TemporaryName {
 public:
  TemporaryName(int dirfd, std::string name) : dirfd_(dirfd), name_(std::move(name)) {}
  ~TemporaryName() {
    if (!released_) system_call::unlinkat(dirfd_, name_.c_str(), 0);
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  const std::string& name() const { return name_; }
  void release() { released_ = true; }

 private:
  int dirfd_;
  std::string name_;
  bool released_ = false;
};

bool sameVersion(const struct stat& before, const struct stat& after) {
  return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
         before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
}

constexpr std::string_view temporaryPrefix = ".talvo-";
constexpr std::size_t idLength = 36;

// ".talvo-<random id>-<final name>", so a leftover names the claim it may have left (the final
// name alone: older copies); none for a name that is not one of our temporaries.
std::optional<std::string> claimOfTemporary(std::string_view name) {
  if (!name.starts_with(temporaryPrefix)) return std::nullopt;
  name.remove_prefix(temporaryPrefix.size());
  if (name.size() < idLength || !isRecordingId(name.substr(0, idLength))) return std::nullopt;
  name.remove_prefix(idLength);
  if (name.empty()) return std::string();
  if (name.front() != '-' || !isRecordingFileName(name.substr(1))) return std::nullopt;
  return std::string(name.substr(1));
}

bool isOwnedRegularFile(const struct stat& info) { return S_ISREG(info.st_mode) && info.st_uid == ::getuid(); }

// Link and rename flags that a file system does not offer fail with one of these.
bool unsupported(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL || error == EMLINK;
}

[[noreturn]] void publishFailed(int error) {
  if (error == EEXIST) throw FileError(FileErrorKind::alreadyExists, error);
  throw FileError(error == ENOSPC || error == EDQUOT ? FileErrorKind::outOfSpace : FileErrorKind::unknownWrite, error);
}

// Gives the finished temporary its final name without ever replacing a file there.
void publish(int dirfd, TemporaryName& temporary, const std::string& name) {
  if (system_call::linkat(dirfd, temporary.name().c_str(), dirfd, name.c_str(), 0) == 0) {
    // The copy is complete under its name now. A temporary name that will not go is only a
    // second link to it: the copy is not a failure, and the next copy or start removes it.
    if (system_call::unlinkat(dirfd, temporary.name().c_str(), 0) != 0) {
      LogSink::line(
          log_category::capture, LogLevel::warning,
          "copy published, its temporary name " + temporary.name() + " not removed: unlinkat " + errnoName(errno));
    }
    temporary.release();
    return;
  }
  if (!unsupported(errno)) publishFailed(errno);
  if (system_call::renameat2(dirfd, temporary.name().c_str(), dirfd, name.c_str(), RENAME_NOREPLACE) == 0) {
    temporary.release();
    return;
  }
  if (!unsupported(errno)) publishFailed(errno);

  // Neither: claim the name with an empty file of our own, then rename over that claim only.
  UniqueFd claim(system_call::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!claim.valid()) publishFailed(errno);
  struct stat claimed {};
  const bool known = system_call::fstat(claim.get(), &claimed) == 0;
  claim.reset();
  const auto stillOurs = [&] {
    struct stat now {};
    return system_call::fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == claimed.st_dev &&
           now.st_ino == claimed.st_ino && now.st_size == 0;
  };
  int error = 0;
  if (!known) {
    error = errno;
    system_call::unlinkat(dirfd, name.c_str(), 0);  // created just now, by us
  } else if (!stillOurs()) {
    error = EEXIST;  // another program took the name meanwhile
  } else if (system_call::renameat(dirfd, temporary.name().c_str(), dirfd, name.c_str()) != 0) {
    error = errno;
    if (stillOurs()) system_call::unlinkat(dirfd, name.c_str(), 0);
  } else {
    temporary.release();
    return;
  }
  publishFailed(error);
}

// The destination directory, opened and checked.
UniqueFd openDestination(const std::string& directory) {
  UniqueFd dir(system_call::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) throwFileError(FileErrorKind::noPermissionWrite);
  struct stat info {};
  if (system_call::fstat(dir.get(), &info) != 0) throwFileError(FileErrorKind::noPermissionWrite);
  if (info.st_uid != ::getuid() || (info.st_mode & 0002) != 0) throw FileError(FileErrorKind::noPermissionWrite);
  return dir;
}

void removeLeftoversAt(int dirfd) noexcept {
  const int listed = ::dup(dirfd);
  if (listed < 0) return;
  DIR* stream = ::fdopendir(listed);
  if (stream == nullptr) {
    ::close(listed);
    return;
  }
  ::rewinddir(stream);
  std::vector<std::pair<std::string, std::string>> leftovers;  // temporary, claim it names
  while (const dirent* entry = ::readdir(stream)) {
    if (auto claim = claimOfTemporary(entry->d_name)) leftovers.emplace_back(entry->d_name, std::move(*claim));
  }
  ::closedir(stream);
  for (const auto& [temporary, claim] : leftovers) {
    struct stat info {};
    if (system_call::fstatat(dirfd, temporary.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !isOwnedRegularFile(info))
      continue;
    // An empty file under the name it was to get is the claim a crash left between claim and rename.
    if (!claim.empty() && system_call::fstatat(dirfd, claim.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        isOwnedRegularFile(info) && info.st_size == 0)
      system_call::unlinkat(dirfd, claim.c_str(), 0);
    system_call::unlinkat(dirfd, temporary.c_str(), 0);
  }
}

}  // namespace

std::string copy(const std::string& source, const std::string& directory) {
  const auto slash = source.find_last_of('/');
  const std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
  if (!isRecordingFileName(name)) throw FileError(FileErrorKind::invalidFileName);

  UniqueFd input(system_call::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!input.valid()) throwFileError(FileErrorKind::noPermissionRead);
  struct stat before {};
  if (system_call::fstat(input.get(), &before) != 0) throwFileError(FileErrorKind::noPermissionRead);
  if (!posix_file::isOwnedSingleLinkFile(before) || before.st_size < minimumSize || before.st_size > maximumSize)
    throw FileError(FileErrorKind::noPermissionRead);

  UniqueFd dir = openDestination(directory);
  removeLeftoversAt(dir.get());

  // A hidden name, so a file manager never shows a half-written copy.
  TemporaryName temporary(dir.get(), std::string(temporaryPrefix) + makeRecordingId() + "-" + name);
  UniqueFd output(system_call::openat(dir.get(), temporary.name().c_str(),
                                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!output.valid()) {
    temporary.release();  // not ours: someone else's file may have that name
    throwFileError(FileErrorKind::noPermissionWrite);
  }

  std::vector<char> buffer(chunkSize);
  std::int64_t total = 0;
  for (;;) {
    const ssize_t count = system_call::read(input.get(), buffer.data(), buffer.size());
    if (count < 0) throwFileError(FileErrorKind::unknownRead);
    if (count == 0) break;
    total += count;
    if (total > before.st_size) throw FileError(FileErrorKind::corruptFile);  // the source grew
    posix_file::writeAll(output.get(), buffer.data(), static_cast<std::size_t>(count));
  }
  struct stat after {};
  if (total != before.st_size || system_call::fstat(input.get(), &after) != 0 || !sameVersion(before, after))
    throw FileError(FileErrorKind::corruptFile);

  posix_file::syncFile(output.get());
  output.reset();
  publish(dir.get(), temporary, name);
  posix_file::syncDirectory(dir.get());

  std::string result = directory;
  if (result.empty() || result.back() != '/') result += '/';
  return result + name;
}

void checkDestination(const std::string& directory) { openDestination(directory); }

void removeLeftovers(const std::string& directory) noexcept {
  UniqueFd dir(system_call::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.valid()) removeLeftoversAt(dir.get());
}

}  // namespace talvo::LocalRecordingExport
