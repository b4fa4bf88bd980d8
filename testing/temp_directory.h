#pragma once
// A private temporary directory (mode 0700) removed with everything in it when the object dies.
#include <set>
#include <string>

namespace talvo::testing {

class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::string& path() const noexcept { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole contents of a file (test helper: throws std::runtime_error if it cannot be read).
std::string readWholeFile(const std::string& path);
// The names in a directory, without "." and "..".
std::set<std::string> namesIn(const std::string& path);
// Creates or truncates a file with the given bytes and mode (test helper).
void writeWholeFile(const std::string& path, const std::string& contents, unsigned mode = 0600);

}  // namespace talvo::testing
