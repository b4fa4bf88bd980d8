#include "core/system/posix_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/values/recording_id.h"
#include "core/system/system_call.h"

namespace talvo::posix_file {

bool isOwnedSingleLinkFile(const struct stat& info) noexcept {
  return S_ISREG(info.st_mode) && info.st_uid == ::getuid() && info.st_nlink == 1;
}

bool isPrivateDirectory(const struct stat& info) noexcept {
  return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 0022) == 0;
}

UniqueFd openPrivateDirectory(const std::string& path, FileErrorKind failure) {
  return openPrivateDirectory(path, failure, failure);
}

UniqueFd openPrivateDirectory(const std::string& path, FileErrorKind failure, FileErrorKind unsafe) {
  // A trailing slash makes open() follow a symbolic link in spite of O_NOFOLLOW, and our
  // directory names usually end in one.
  std::string plain = path;
  while (plain.size() > 1 && plain.back() == '/') plain.pop_back();
  UniqueFd dir(system_call::open(plain.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) throwFileError(failure);
  struct stat info {};
  if (system_call::fstat(dir.get(), &info) != 0) throwFileError(unsafe);
  if (!isPrivateDirectory(info)) throw FileError(unsafe);
  return dir;
}

void makeDirectories(const std::string& path) {
  std::error_code error;
  std::filesystem::path target(path);
  // Create parent by parent so every new level gets 0700 regardless of the umask's view.
  std::filesystem::path built;
  for (const auto& part : target) {
    built /= part;
    if (built.empty() || built == built.root_path()) continue;
    if (system_call::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) throwFileError(FileErrorKind::unknownWrite);
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throwFileError(FileErrorKind::noSuchFile);
  if (!S_ISDIR(info.st_mode)) throw FileError(FileErrorKind::alreadyExists);
}

namespace {

// Writes every byte through `transfer` (write or pwrite at a moving offset), retrying short
// transfers; a full disk is told apart from other failures.
template <typename Transfer>
void transferAll(const void* data, std::size_t size, Transfer transfer) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t written = transfer(bytes, size);
    if (written < 0)
      throwFileError(errno == ENOSPC || errno == EDQUOT ? FileErrorKind::outOfSpace : FileErrorKind::unknownWrite);
    if (written == 0) throw FileError(FileErrorKind::unknownWrite, EIO);
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void writeAll(int fd, const void* data, std::size_t size) {
  transferAll(data, size,
              [fd](const unsigned char* bytes, std::size_t count) { return system_call::write(fd, bytes, count); });
}

void writeAllAt(int fd, const void* data, std::size_t size, off_t offset) {
  transferAll(data, size, [fd, &offset](const unsigned char* bytes, std::size_t count) {
    ssize_t written = system_call::pwrite(fd, bytes, count, offset);
    if (written > 0) offset += written;
    return written;
  });
}

std::size_t readFullyAt(int fd, void* data, std::size_t size, off_t offset) {
  auto* bytes = static_cast<unsigned char*>(data);
  std::size_t total = 0;
  while (total < size) {
    ssize_t got = offset < 0 ? system_call::read(fd, bytes + total, size - total)
                             : system_call::pread(fd, bytes + total, size - total, offset + static_cast<off_t>(total));
    if (got < 0) throwFileError(FileErrorKind::unknownRead);
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  return total;
}

std::size_t readFully(int fd, void* data, std::size_t size) { return readFullyAt(fd, data, size, -1); }

void syncFile(int fd) {
  if (system_call::fsync(fd) != 0) throwFileError(FileErrorKind::unknownWrite);
}

void syncDirectory(int dirfd) { syncFile(dirfd); }

std::string readBounded(int fd, std::size_t limit) {
  std::string contents(limit + 1, '\0');
  std::size_t got = readFully(fd, contents.data(), contents.size());
  if (got > limit) throw FileError(FileErrorKind::corruptFile);
  contents.resize(got);
  return contents;
}

OwnedFile openOwnedFileAt(int dirfd, const std::string& name, std::int64_t limit) {
  for (int attempt = 0;; ++attempt) {
    UniqueFd file(system_call::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) throwFileError(errno == ENOENT ? FileErrorKind::noSuchFile : FileErrorKind::unknownRead);
    struct stat info {};
    if (system_call::fstat(file.get(), &info) != 0) throwFileError(FileErrorKind::noPermissionRead);
    // Replaced by a save between our open and fstat: a normal race with the writer, not a
    // hostile file.
    if (info.st_nlink == 0 && S_ISREG(info.st_mode) && attempt < 8) continue;
    if (!isOwnedSingleLinkFile(info)) throw FileError(FileErrorKind::noPermissionRead);
    if (info.st_size < 0 || info.st_size > limit) throw FileError(FileErrorKind::corruptFile);
    return OwnedFile{std::move(file), static_cast<std::int64_t>(info.st_size)};
  }
}

std::string readOwnedFileAt(int dirfd, const std::string& name, std::size_t limit) {
  OwnedFile file;
  try {
    file = openOwnedFileAt(dirfd, name, static_cast<std::int64_t>(limit));
  } catch (const FileError& error) {
    // Whatever else keeps the file from being opened (a symbolic link: ELOOP) is a refusal.
    if (error.kind() != FileErrorKind::unknownRead) throw;
    throw FileError(FileErrorKind::noPermissionRead, error.errorNumber());
  }
  return readBounded(file.fd.get(), limit);
}

void replaceFileAt(int dirfd, const std::string& name, std::string_view contents, mode_t mode) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
    throw FileError(FileErrorKind::invalidFileName);
  const std::string temporary = "." + name + "." + makeRecordingId() + ".tmp";
  UniqueFd file(
      system_call::openat(dirfd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!file) throwFileError(FileErrorKind::noPermissionWrite);
  try {
    if (::fchmod(file.get(), mode) != 0) throwFileError(FileErrorKind::unknownWrite);  // umask may have narrowed it
    writeAll(file.get(), contents.data(), contents.size());
    syncFile(file.get());
    file.reset();
    if (system_call::renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) != 0)
      throwFileError(FileErrorKind::unknownWrite);
  } catch (...) {
    system_call::unlinkat(dirfd, temporary.c_str(), 0);
    throw;
  }
  syncDirectory(dirfd);
}

void replaceFile(const std::string& path, std::string_view contents, mode_t mode) {
  std::filesystem::path target(path);
  std::string parent = target.has_parent_path() ? target.parent_path().string() : ".";
  UniqueFd dir(system_call::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) throwFileError(FileErrorKind::noPermissionWrite);
  replaceFileAt(dir.get(), target.filename().string(), contents, mode);
}

}  // namespace talvo::posix_file
