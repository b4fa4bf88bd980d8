#pragma once
// What every libFuzzer harness shares: the entry point's signature, a hard failure that names
// the broken rule, and a private scratch folder on tmpfs for decoders that read files.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/system/posix_file.h"

#define TALVO_FUZZ(name) extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* name, std::size_t size)

namespace talvo::fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A decoder broke its own contract: stop here so libFuzzer keeps the input.
[[noreturn]] inline void broken(const char* rule) {
  std::fprintf(stderr, "contract broken: %s\n", rule);
  std::fflush(stderr);
  std::abort();
}
inline void require(bool holds, const char* rule) {
  if (!holds) broken(rule);
}

// A private folder (mode 0700) made once per process on tmpfs, so the file-reading decoders'
// fsyncs cost nothing; emptied by clear() before every input.
class Scratch {
 public:
  static Scratch& instance() {
    static Scratch scratch;
    return scratch;
  }
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
  void clear() const {
    for (const auto& entry : std::filesystem::directory_iterator(path_)) std::filesystem::remove_all(entry.path());
  }
  // Writes `bytes` to a new file of mode 0600, as the program would have left it.
  void write(std::string_view name, std::string_view bytes) const {
    const std::string target = file(name);
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) broken("scratch file cannot be created");
    posix_file::writeAll(fd, bytes.data(), bytes.size());
    ::close(fd);
  }

 private:
  Scratch() {
    std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    path_ = base + "/talvo-fuzz-XXXXXX";
    if (::mkdtemp(path_.data()) == nullptr) broken("no scratch folder");
  }
  ~Scratch() { std::filesystem::remove_all(path_); }
  std::string path_;
};

}  // namespace talvo::fuzz
