#pragma once
// The system calls through which the program opens, reads, writes, syncs, publishes and removes
// its own files (recordings, queue records, copies, settings files).
// Each is retried here, and only here, while a signal interrupts it (EINTR), and each can be
// made to fail on purpose by a test through SystemCallFault below: a disk that reports EIO at
// an fsync or fills up in the middle of a write cannot be had on demand otherwise.
// The functions return what the system call returns and leave errno as it set it.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>

namespace talvo {

enum class SystemCall {
  read,
  pread,
  write,
  pwrite,
  fsync,
  ftruncate,
  renameat,
  linkat,
  statvfs,
  getrandom,
  open,
  openat,
  fstat,
  fstatat,
  unlinkat,
  mkdir,
  renameat2,
};
inline constexpr int systemCallKinds = static_cast<int>(SystemCall::renameat2) + 1;

// A process-wide fault for tests: while an object lives, the `nth` call of `call` from its
// construction on fails with `error` instead of being made (once). One fault at a time. Unarmed,
// a call pays one atomic load.
class SystemCallFault {
 public:
  SystemCallFault(SystemCall call, int nth, int error);
  ~SystemCallFault();
  SystemCallFault(const SystemCallFault&) = delete;
  SystemCallFault& operator=(const SystemCallFault&) = delete;

  // Whether the fault has struck.
  bool struck() const;
  // How many calls of `call` were made (the struck one included) since construction: a fault
  // that can never strike (nth past every call) turns the object into a counter.
  int calls(SystemCall call) const;

  // True (with errno set) when the armed fault strikes this call.
  static bool strikes(SystemCall call) noexcept { return armed_.load(std::memory_order_acquire) && strikesArmed(call); }

 private:
  static bool strikesArmed(SystemCall call) noexcept;
  static std::atomic<bool> armed_;
};

namespace system_call {

ssize_t read(int fd, void* data, std::size_t size) noexcept;
ssize_t pread(int fd, void* data, std::size_t size, off_t offset) noexcept;
ssize_t write(int fd, const void* data, std::size_t size) noexcept;
ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) noexcept;
int fsync(int fd) noexcept;
int ftruncate(int fd, off_t length) noexcept;
int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept;
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) noexcept;
int statvfs(const char* path, struct statvfs* info) noexcept;
ssize_t getrandom(void* data, std::size_t size, unsigned flags) noexcept;
int open(const char* path, int flags, mode_t mode = 0) noexcept;
int openat(int dir, const char* name, int flags, mode_t mode = 0) noexcept;
int fstat(int fd, struct stat* info) noexcept;
int fstatat(int dir, const char* name, struct stat* info, int flags) noexcept;
int unlinkat(int dir, const char* name, int flags) noexcept;
int mkdir(const char* path, mode_t mode) noexcept;
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) noexcept;

}  // namespace system_call
}  // namespace talvo
