// The updater's unpacker on an arbitrary tar.gz: refused with UpdateError or FileError, or a
// staging folder of plain files and folders with tame modes. Either way nothing is created
// beside the install tree except that staging folder.
#include <sys/mman.h>

#include "app/updates/install_tree.h"
#include "app/updates/update_error.h"
#include "core/system/file_error.h"
#include "core/system/unique_fd.h"
#include "fuzz/fuzz_support.h"

using namespace talvo;
namespace fs = std::filesystem;

namespace {

std::size_t entriesOf(const std::string& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

void requireTame(const std::string& tree) {
  for (const auto& entry : fs::recursive_directory_iterator(tree)) {
    struct stat info {};
    fuzz::require(::lstat(entry.path().c_str(), &info) == 0, "unpacked entry vanished");
    fuzz::require(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode), "unpacked a link, device or pipe");
    fuzz::require((info.st_mode & (S_ISUID | S_ISGID | S_ISVTX | S_IWGRP | S_IWOTH)) == 0, "unpacked a wild mode");
    fuzz::require(!S_ISREG(info.st_mode) || info.st_nlink == 1, "unpacked a hard link");
  }
}

}  // namespace

TALVO_FUZZ(data) {
  const auto& scratch = fuzz::Scratch::instance();
  scratch.clear();
  UniqueFd archive(::memfd_create("archive", MFD_CLOEXEC));
  posix_file::writeAll(archive.get(), data, size);
  ::lseek(archive.get(), 0, SEEK_SET);
  // The install tree lives in a folder of its own; the scratch folder holds nothing else.
  const std::string parent = scratch.file("data");
  InstallTree tree(parent + "/app", /*sizeCap=*/1 << 20);
  std::string staging;
  try {
    staging = tree.unpack(archive.get());
  } catch (const UpdateError& error) {
    fuzz::require(error.code() == UpdateError::installFailed, "refused with another code");
  } catch (const FileError&) {
  }
  fuzz::require(entriesOf(scratch.path()) == 1, "something created beside the install folder");
  if (staging.empty()) {
    fuzz::require(entriesOf(parent) == 0, "a refused archive left files behind");
    return 0;
  }
  fuzz::require(fs::path(staging).parent_path() == parent && entriesOf(parent) == 1, "staging outside its folder");
  requireTame(staging);
  InstallTree::removeTree(staging);
  return 0;
}
