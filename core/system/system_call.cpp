#include "core/system/system_call.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <stdexcept>

namespace talvo {
namespace {

struct ArmedFault {
  SystemCall call = SystemCall::read;
  int remaining = 0;
  int error = 0;
  bool struck = false;
};

std::mutex faultLock;
ArmedFault fault;
int counted[systemCallKinds] = {};

// Makes `call` (or fails it as armed), again while it is interrupted.
template <typename Call>
auto retrying(SystemCall kind, Call call) noexcept {
  for (;;) {
    decltype(call()) result = SystemCallFault::strikes(kind) ? -1 : call();
    if (result != -1 || errno != EINTR) return result;
  }
}

}  // namespace

std::atomic<bool> SystemCallFault::armed_{false};

SystemCallFault::SystemCallFault(SystemCall call, int nth, int error) {
  std::lock_guard lock(faultLock);
  if (armed_.load()) throw std::logic_error("one system call fault at a time");
  fault = ArmedFault{call, nth, error, false};
  for (int& count : counted) count = 0;
  armed_.store(true, std::memory_order_release);
}

SystemCallFault::~SystemCallFault() {
  std::lock_guard lock(faultLock);
  armed_.store(false, std::memory_order_release);
}

bool SystemCallFault::struck() const {
  std::lock_guard lock(faultLock);
  return fault.struck;
}

int SystemCallFault::calls(SystemCall call) const {
  std::lock_guard lock(faultLock);
  return counted[static_cast<int>(call)];
}

bool SystemCallFault::strikesArmed(SystemCall call) noexcept {
  std::lock_guard lock(faultLock);
  if (!armed_.load(std::memory_order_relaxed)) return false;
  ++counted[static_cast<int>(call)];
  if (fault.struck || fault.call != call) return false;
  if (--fault.remaining > 0) return false;
  fault.struck = true;
  errno = fault.error;
  return true;
}

namespace system_call {

ssize_t read(int fd, void* data, std::size_t size) noexcept {
  return retrying(SystemCall::read, [&] { return ::read(fd, data, size); });
}

ssize_t pread(int fd, void* data, std::size_t size, off_t offset) noexcept {
  return retrying(SystemCall::pread, [&] { return ::pread(fd, data, size, offset); });
}

ssize_t write(int fd, const void* data, std::size_t size) noexcept {
  return retrying(SystemCall::write, [&] { return ::write(fd, data, size); });
}

ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) noexcept {
  return retrying(SystemCall::pwrite, [&] { return ::pwrite(fd, data, size, offset); });
}

int fsync(int fd) noexcept {
  return retrying(SystemCall::fsync, [&] { return ::fsync(fd); });
}

int ftruncate(int fd, off_t length) noexcept {
  return retrying(SystemCall::ftruncate, [&] { return ::ftruncate(fd, length); });
}

int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept {
  return retrying(SystemCall::renameat, [&] { return ::renameat(fromDir, from, toDir, to); });
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) noexcept {
  return retrying(SystemCall::linkat, [&] { return ::linkat(fromDir, from, toDir, to, flags); });
}

int statvfs(const char* path, struct statvfs* info) noexcept {
  return retrying(SystemCall::statvfs, [&] { return ::statvfs(path, info); });
}

ssize_t getrandom(void* data, std::size_t size, unsigned flags) noexcept {
  return retrying(SystemCall::getrandom, [&] { return ::getrandom(data, size, flags); });
}

int open(const char* path, int flags, mode_t mode) noexcept {
  return retrying(SystemCall::open, [&] { return ::open(path, flags, mode); });
}

int openat(int dir, const char* name, int flags, mode_t mode) noexcept {
  return retrying(SystemCall::openat, [&] { return ::openat(dir, name, flags, mode); });
}

int fstat(int fd, struct stat* info) noexcept {
  return retrying(SystemCall::fstat, [&] { return ::fstat(fd, info); });
}

int fstatat(int dir, const char* name, struct stat* info, int flags) noexcept {
  return retrying(SystemCall::fstatat, [&] { return ::fstatat(dir, name, info, flags); });
}

int unlinkat(int dir, const char* name, int flags) noexcept {
  return retrying(SystemCall::unlinkat, [&] { return ::unlinkat(dir, name, flags); });
}

int mkdir(const char* path, mode_t mode) noexcept {
  return retrying(SystemCall::mkdir, [&] { return ::mkdir(path, mode); });
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) noexcept {
  return retrying(SystemCall::renameat2, [&] { return ::renameat2(fromDir, from, toDir, to, flags); });
}

}  // namespace system_call
}  // namespace talvo
