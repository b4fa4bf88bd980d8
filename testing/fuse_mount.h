#pragma once
// A file system image mounted through FUSE in a temporary folder, as a USB stick, a synced
// folder or a FUSE home appears; unmounted again when the object goes. Neither offers
// RENAME_NOREPLACE or RENAME_EXCHANGE:
//   fat   FAT through fusefat: no hard links, no permission changes (and a directory renamed
//         loses its contents, so only files may be renamed on it)
//   ext4  ext4 through fuse2fs: directories rename as they should
#include <sys/types.h>

#include <string>
#include <vector>

#include "testing/temp_directory.h"

namespace talvo::testing {

class FuseMount {
 public:
  enum class Kind { fat, ext4 };
  explicit FuseMount(Kind kind);
  ~FuseMount();
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }  // what failed when not mounted
  const std::string& path() const { return mountPoint_; }
  // The process serving the mount (found by the image it was given), for a test that stops it
  // to make every access hang as an unreachable network folder does; -1 when none is found.
  pid_t serverPid() const;

  // Runs a program (also looked up in the administrator's folders), quietly; its exit status.
  static int run(const std::vector<std::string>& arguments);

 private:
  TempDirectory scratch_;
  std::string image_ = scratch_.file("image");
  std::string mountPoint_ = scratch_.file("mount");
  bool mounted_ = false;
  std::string why_;
};

}  // namespace talvo::testing
