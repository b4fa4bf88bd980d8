#include "testing/temp_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace talvo::testing {

TempDirectory::TempDirectory() {
  std::string base = std::filesystem::temp_directory_path().string() + "/talvo-test-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = base;
  ::chmod(path_.c_str(), 0700);
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  // Tests may leave read-only folders behind; give permissions back so removal works.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                   ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::set<std::string> namesIn(const std::string& path) {
  std::set<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) throw std::runtime_error("cannot list " + path);
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  ::closedir(dir);
  return names;
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void writeWholeFile(const std::string& path, const std::string& contents, unsigned mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error("cannot write " + path);
  ::fchmod(fd, mode);
  std::size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n <= 0) {
      ::close(fd);
      throw std::runtime_error("short write to " + path);
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace talvo::testing
