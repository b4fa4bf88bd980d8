#pragma once
// The list of a release tree's files that the build writes as <tree>/MANIFEST:
//   TALVO manifest 1
//   <sha256 in lower-case hex> <size in bytes> <path relative to the tree>
// one line a file, every file of the tree but the manifest itself. `talvo --install` copies
// exactly these files (anything else beside them is not the program's), and a tree is the
// release only when every file has its listed size and hash.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/system/unique_fd.h"

namespace talvo {

// A manifest that cannot be read, or a tree that does not match it; what() is the reason.
class ManifestMismatch : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ReleaseManifest {
 public:
  static constexpr const char* fileName = "MANIFEST";
  static constexpr const char* header = "TALVO manifest 1";
  static constexpr std::size_t maximumBytes = 4 * 1024 * 1024;
  static constexpr std::size_t maximumFiles = 20000;

  struct File {
    std::string path;  // relative, "/"-separated, no "." or ".." component
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
  };

  // Throws ManifestMismatch for anything but a well-formed manifest (unknown header, a bad hash,
  // size or path, a path listed twice, the manifest listing itself, no bin/talvo).
  static ReleaseManifest parse(const std::string& text);

  // Opens the file `path` below the directory `tree` one component at a time, never through a
  // symbolic link, without blocking on a pipe; throws ManifestMismatch when it is not there.
  static UniqueFd openListed(int tree, const std::string& path);

  const std::vector<File>& files() const noexcept { return files_; }

  // Compares the tree at `tree` (a directory descriptor) with the list: every listed file is a
  // regular file of that size and hash, reached without symbolic links, and, when `exclusive`,
  // no other file or link is there. Throws ManifestMismatch naming the first difference.
  void verify(int tree, bool exclusive) const;

 private:
  std::vector<File> files_;
};

}  // namespace talvo
