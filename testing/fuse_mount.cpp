#include "testing/fuse_mount.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace talvo::testing {

FuseMount::FuseMount(Kind kind) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    why_ = "no usable /dev/fuse";
    return;
  }
  const std::string& image = image_;
  ::mkdir(mountPoint_.c_str(), 0700);
  if (kind == Kind::fat) {
    if (run({"mkfs.fat", "-C", image, "8192"}) != 0) {
      why_ = "mkfs.fat (dosfstools) is missing or failed";
      return;
    }
    // hard_remove: a file closed just before its unlink is gone at once. Without it the FUSE
    // library may see the unlink before the close's release (the kernel sends that one without
    // waiting) and keep the file as ".fuse_hidden…" for a moment, which a listing then shows.
    if (run({"fusefat", "-o", "rw+,hard_remove", image, mountPoint_}) != 0) {
      why_ = "fusefat is missing or cannot mount";
      return;
    }
  } else {
    if (run({"mkfs.ext4", "-q", "-F", image, "32M"}) != 0) {
      why_ = "mkfs.ext4 is missing or failed";
      return;
    }
    if (run({"fuse2fs", "-o", "fakeroot,hard_remove", image, mountPoint_}) != 0) {
      why_ = "fuse2fs is missing or cannot mount";
      return;
    }
  }
  struct statfs info {};
  mounted_ = ::statfs(mountPoint_.c_str(), &info) == 0 && info.f_type == 0x65735546;  // FUSE
  if (!mounted_) why_ = "the FUSE file system did not mount";
}

FuseMount::~FuseMount() {
  if (mounted_ && run({"fusermount", "-u", mountPoint_}) != 0) run({"umount", mountPoint_});
}

pid_t FuseMount::serverPid() const {
  // The daemon was started by this process and detached itself, so its PID is not known here;
  // its command line names this mount's own image, which no other process has.
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (line.size() > 64 * 1024) continue;
    std::string words;
    for (char c : line) words += c == '\0' ? '\n' : c;
    if (words.find("\n" + image_ + "\n") != std::string::npos && words.find("fuse") != std::string::npos) {
      return static_cast<pid_t>(std::stol(name));
    }
  }
  return -1;
}

int FuseMount::run(const std::vector<std::string>& arguments) {
  std::string program;
  for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    if (::access((folder + arguments[0]).c_str(), X_OK) == 0) {
      program = folder + arguments[0];
      break;
    }
  }
  if (program.empty()) return -1;
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace talvo::testing
