#pragma once
// The system calls through which the program reads, writes, syncs and publishes its own files.
// Each is retried here, and only here, while a signal interrupts it (EINTR), and each can be
// made to fail on purpose by a test through SystemCallFault below: a disk that reports EIO at
// an fsync or fills up in the middle of a write cannot be had on demand otherwise.
// The functions return what the system call returns and leave errno as it set it.
#include <sys/statvfs.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>

namespace talvo {

enum class SystemCall { read, pread, write, pwrite, fsync, ftruncate, renameat, linkat, statvfs, getrandom };

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

}  // namespace system_call
}  // namespace talvo
