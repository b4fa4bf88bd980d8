#include "core/local_recording_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "core/file_error.h"
#include "core/posix_file.h"
#include "core/recording_id.h"
#include "core/unique_fd.h"

namespace talvo::LocalRecordingExport {
namespace {

constexpr std::size_t chunkSize = 1048576;
constexpr off_t minimumSize = 44;          // a WAV header
constexpr off_t maximumSize = 2147483648;  // 2 GiB

bool isRecordingFileName(const std::string& name) {
  constexpr std::string_view extension = ".wav";
  return name.size() > extension.size() && name.ends_with(extension) &&
         isRecordingId(std::string_view(name).substr(0, name.size() - extension.size()));
}

// The temporary name is removed on every way out; after the link it is only a second name.
class TemporaryName {
 public:
  TemporaryName(int dirfd, std::string name) : dirfd_(dirfd), name_(std::move(name)) {}
  ~TemporaryName() {
    if (!released_) ::unlinkat(dirfd_, name_.c_str(), 0);
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

}  // namespace

std::string copy(const std::string& source, const std::string& directory) {
  const auto slash = source.find_last_of('/');
  const std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
  if (!isRecordingFileName(name)) throw FileError(FileErrorKind::invalidFileName);

  UniqueFd input(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!input.valid()) throwFileError(FileErrorKind::noPermissionRead);
  struct stat before {};
  if (::fstat(input.get(), &before) != 0) throwFileError(FileErrorKind::noPermissionRead);
  if (!posix_file::isOwnedSingleLinkFile(before) || before.st_size < minimumSize || before.st_size > maximumSize)
    throw FileError(FileErrorKind::noPermissionRead);

  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) throwFileError(FileErrorKind::noPermissionWrite);
  struct stat dirInfo {};
  if (::fstat(dir.get(), &dirInfo) != 0) throwFileError(FileErrorKind::noPermissionWrite);
  if (dirInfo.st_uid != ::getuid() || (dirInfo.st_mode & 0002) != 0) throw FileError(FileErrorKind::noPermissionWrite);

  // A hidden name, so a file manager never shows a half-written copy.
  TemporaryName temporary(dir.get(), ".talvo-" + makeRecordingId());
  UniqueFd output(::openat(dir.get(), temporary.name().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           0600));
  if (!output.valid()) {
    temporary.release();  // not ours: someone else's file may have that name
    throwFileError(FileErrorKind::noPermissionWrite);
  }

  std::vector<char> buffer(chunkSize);
  std::int64_t total = 0;
  for (;;) {
    const ssize_t count = ::read(input.get(), buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      throwFileError(FileErrorKind::unknownRead);
    }
    if (count == 0) break;
    total += count;
    if (total > before.st_size) throw FileError(FileErrorKind::corruptFile);  // the source grew
    posix_file::writeAll(output.get(), buffer.data(), static_cast<std::size_t>(count));
  }
  struct stat after {};
  if (total != before.st_size || ::fstat(input.get(), &after) != 0 || !sameVersion(before, after))
    throw FileError(FileErrorKind::corruptFile);

  posix_file::syncFile(output.get());
  if (::linkat(dir.get(), temporary.name().c_str(), dir.get(), name.c_str(), 0) != 0) {
    if (errno == EEXIST) throwFileError(FileErrorKind::alreadyExists);
    throwFileError(FileErrorKind::unknownWrite);
  }
  if (::unlinkat(dir.get(), temporary.name().c_str(), 0) != 0) throwFileError(FileErrorKind::unknownWrite);
  if (::fsync(dir.get()) != 0) throwFileError(FileErrorKind::unknownWrite);

  std::string result = directory;
  if (result.empty() || result.back() != '/') result += '/';
  return result + name;
}

}  // namespace talvo::LocalRecordingExport
