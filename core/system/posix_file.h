#pragma once
// Small, careful POSIX file operations shared by every module that keeps files of its own:
// the checks that make a file or folder trustworthy, complete reads and writes that survive
// EINTR and short transfers, bounded reads, and the atomic, durable replacement of a small file.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/system/file_error.h"
#include "core/system/unique_fd.h"

namespace talvo::posix_file {

// A regular file of the current user with exactly one hard link.
bool isOwnedSingleLinkFile(const struct stat& info) noexcept;
// A directory of the current user that neither group nor others may write.
bool isPrivateDirectory(const struct stat& info) noexcept;

// Opens `path` as a directory (O_DIRECTORY | O_NOFOLLOW, read-only) and checks it is private.
// Any failure throws FileError(failure).
UniqueFd openPrivateDirectory(const std::string& path, FileErrorKind failure);
// The same, telling the open failing (FileError(failure), errno kept) from a directory that
// fails the check (FileError(unsafe); with errno when fstat itself failed).
UniqueFd openPrivateDirectory(const std::string& path, FileErrorKind failure, FileErrorKind unsafe);

// Creates `path` and its missing parents with mode 0700; an existing directory is fine.
void makeDirectories(const std::string& path);

// Writes all bytes, retrying short writes (system_call.h retries EINTR). Throws FileError(unknownWrite / outOfSpace).
void writeAll(int fd, const void* data, std::size_t size);
// Like writeAll at an absolute offset (pwrite).
void writeAllAt(int fd, const void* data, std::size_t size, off_t offset);
// Reads until `size` bytes or end of file; returns the count. Throws FileError(unknownRead).
std::size_t readFully(int fd, void* data, std::size_t size);
// The same from an absolute offset (pread); a negative offset reads on from the file position.
std::size_t readFullyAt(int fd, void* data, std::size_t size, off_t offset);
// fsync, mapping failure to FileError(unknownWrite).
void syncFile(int fd);

// Reads an already opened file of at most `limit` bytes. A longer file throws
// FileError(corruptFile): nothing is trusted from a file larger than its kind can be.
std::string readBounded(int fd, std::size_t limit);

// A file opened for reading, with its size when it was checked.
struct OwnedFile {
  UniqueFd fd;
  std::int64_t size = 0;
};

// Opens `name` inside the directory `dirfd` for reading (O_NOFOLLOW | O_NONBLOCK) and checks it
// is an owned single-link regular file of at most `limit` bytes. A file that a writer replaced
// between the open and the check (no links left) is opened again. The open failing:
// FileError(noSuchFile) for ENOENT, FileError(unknownRead) otherwise (ELOOP: a symbolic link
// stands there), errno kept; fstat failing or the check refusing: FileError(noPermissionRead);
// too large: FileError(corruptFile).
OwnedFile openOwnedFileAt(int dirfd, const std::string& name, std::int64_t limit);

// Reads `name` inside the directory `dirfd` (O_NOFOLLOW, must be an owned single-link regular
// file) bounded to `limit` bytes. Missing file: FileError(noSuchFile); link, foreign or
// multiply-linked file: FileError(noPermissionRead); too large: FileError(corruptFile).
std::string readOwnedFileAt(int dirfd, const std::string& name, std::size_t limit);

// Replaces `name` in `dirfd` with `contents` atomically and durably: a hidden temporary
// file (O_EXCL | O_NOFOLLOW, `mode`), written and fsynced, renamed over the name, then the
// directory fsynced. On failure the temporary is removed and the old file is untouched.
void replaceFileAt(int dirfd, const std::string& name, std::string_view contents, mode_t mode = 0600);

// The same for a path: the directory is opened with O_DIRECTORY | O_NOFOLLOW.
void replaceFile(const std::string& path, std::string_view contents, mode_t mode = 0600);

// fsync of an open directory, so a rename or link in it is durable.
void syncDirectory(int dirfd);

}  // namespace talvo::posix_file
