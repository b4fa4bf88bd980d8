#pragma once
// The file errors of the program. Every failure of a file operation that a user may see is one
// of these kinds; each has a fixed Russian description (the program shows no other language).
#include <stdexcept>
#include <string>

#include "core/system/log_sink.h"

namespace talvo {

enum class FileErrorKind {
  alreadyExists,      // a file that must be new is already there (or a link stands in its place)
  noPermissionRead,   // a file or folder that must be private to the user is not, or cannot be opened
  noPermissionWrite,  // a folder we must write into is not ours or is writable by others
  corruptFile,        // a file's content or length is not what this program writes
  outOfSpace,         // no room left (disk, or the format's own size limit)
  noSuchFile,         // a file that must exist is missing
  invalidFileName,    // a name that is not a plain file name
  unknownRead,        // a read failed for another reason (errno tells which)
  unknownWrite,       // a write, sync or truncate failed for another reason (errno tells which)
  locking,            // a lock is held by someone else or the lock file is not ours
};

class FileError : public std::runtime_error, public DiagnosticFacts {
 public:
  explicit FileError(FileErrorKind kind, int error_number = 0);

  FileErrorKind kind() const noexcept { return kind_; }
  // errno of the system call that failed, 0 when the error is a check of ours.
  int errorNumber() const noexcept { return errno_; }

  static const char* describe(FileErrorKind kind) noexcept;
  // "<kind> <errno name>", e.g. "unknownWrite EIO".
  std::string diagnostic() const override;

 private:
  FileErrorKind kind_;
  int errno_;
};

// The symbolic name of an errno value for developers' log lines ("EIO", "ENOSPC"; "errno 1234"
// for one the C library does not name).
std::string errnoName(int error_number);

// Throws FileError(kind, errno) — for the failure branch right after a system call.
[[noreturn]] void throwFileError(FileErrorKind kind);

}  // namespace talvo
