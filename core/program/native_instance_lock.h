#pragma once
// The single-instance lock: an exclusive flock on ".instance.lock" in the recordings directory,
// held for the life of the process. The kernel drops it when the process ends, so a crashed run
// never blocks the next start; the file itself is never written, deleted or unlocked.
//
// The directory and the file are checked before they are trusted: a directory of ours that no
// one else may write, and a private regular file of ours with a single link. Anything else —
// a link planted in place of the lock, a foreign owner, loose permissions — refuses the start
// rather than letting a second instance touch the recordings.
#include <string>

#include "core/system/unique_fd.h"

namespace talvo {

class NativeInstanceLock {
 public:
  // Creates `directory` (0700) if needed and takes the lock. Throws FileError: noPermissionRead
  // when the directory or lock file cannot be opened or the directory is not private; locking
  // when the lock file is not a private single-link regular file or another process holds it;
  // directory creation errors as they come.
  explicit NativeInstanceLock(const std::string& directory);

  int fd() const noexcept { return fd_.get(); }
  // Keeps the lock for the rest of the process whatever happens to this object: for a teardown
  // that could not make sure nothing writes any more.
  void abandon() noexcept { fd_.release(); }

 private:
  UniqueFd fd_;
};

}  // namespace talvo
