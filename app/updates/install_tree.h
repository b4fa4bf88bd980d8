#pragma once
// The installed program's tree and its replacement. The install path <user data>/TALVO/app is a
// symbolic link to a sibling directory .app-tree-XXXXXX holding the tree. A release archive is
// unpacked into a fresh sibling tree, the staged program is checked, and a new link renamed over
// the install path switches to it: one rename of a link over a link, atomic on every file system
// with links (NFS, CIFS, ecryptfs and FUSE among them), so at every moment the install path names
// either the whole old tree or the whole new one, and the menu entry and autostart always start a
// program that can finish whatever a crash cut short. An installation from before the link (a real
// directory at the install path) moves once: renameat2(RENAME_EXCHANGE) where offered, else two
// renames with a recovery marker that the next start (or install) completes. The old tree is
// removed only after the switch; any failure before it removes the staged tree and leaves the
// installed one untouched.
//
// Staging happens in the TALVO data folder, which must be the user's own and writable by nobody
// else: whoever may write there could swap a tree of their own in. Leftovers of an interrupted
// update (trees no link names, temporary links, a previous tree) are removed before the next
// unpack and at start. Once the switch succeeded the new tree is live whatever follows: a failed
// directory sync after it is not a failed install.
//
// Unpacking trusts nothing in the archive: only regular files and directories, relative paths
// without "..", no links of any kind, created exclusively below the staging directory through
// descriptors opened with O_NOFOLLOW, modes reduced to rwx bits, and a cap on the total size and
// the number of entries.
#include <cstdint>
#include <functional>
#include <string>

namespace talvo {

class InstallTree {
 public:
  static constexpr std::uint64_t defaultSizeCap = 1ULL << 30;  // 1 GiB unpacked
  static constexpr std::uint64_t maximumEntries = 20000;

  // `root`: absolute path of the install tree; its parent must exist or be creatable.
  explicit InstallTree(std::string root, std::uint64_t sizeCap = defaultSizeCap);

  const std::string& root() const noexcept { return root_; }
  std::string executable() const { return root_ + "/bin/talvo"; }

  // Unpacks, checks that bin/talvo is executable and passes its self-check (it loads its platform
  // plugins, the SVG icon engine and the TLS store, and answers with `version`), and swaps the
  // result in. Throws UpdateError(installFailed) for a refused archive or a failed
  // check, FileError for file-system failures (a full disk among them).
  void install(int archiveFd, const std::string& version) const;

  // Installs the release tree unpacked at `source` from its MANIFEST: exactly the listed files,
  // each streamed into the staging directory and hashed on the way, then checked and exchanged
  // like an archive. Nothing else in `source` is read. Throws ManifestMismatch when the manifest
  // is missing or a file differs from it (nothing installed then), and as install() otherwise.
  void installFiles(const std::string& source, const std::string& version) const;

  // The steps of install(), separately for tests.
  std::string unpack(int archiveFd) const;  // returns the staging path
  static void check(const std::string& tree, const std::string& version);
  void exchange(const std::string& staging) const;

  // The trimmed first line that `program --version` prints (at most 256 bytes, 10 seconds).
  static std::string versionOf(const std::string& program);
  // The same for `program <argument>` within `milliseconds`; empty when it failed, with the
  // beginning of its standard error in `errors` when asked.
  static std::string answerOf(const std::string& program, const char* argument, int milliseconds, std::string* errors);

  // The manifest of the tree open at `tree`, bounded; throws ManifestMismatch.
  static std::string readManifest(int tree);

  // Removes a directory tree without following links (best effort).
  static void removeTree(const std::string& path);
  // Removes the staging trees and download files an interrupted update left beside `root`.
  static void removeLeftovers(const std::string& root);

  // Completes a two-step move of an old installation that a crash cut short (see exchange());
  // called by removeLeftovers(), so before every install and at start.
  static void recoverExchange(const std::string& root);

  // The replaced tree is kept, linked as previousPath(), instead of removed (the updater keeps it
  // until the new version has started once: the new version's start clears it with the leftovers).
  void setKeepPrevious(bool keep) { keepPrevious_ = keep; }
  static std::string previousPath(const std::string& root);
  // Switches the install path back to the previous tree, the way an update switches (a new version
  // that could not start); false when there is no previous tree.
  static bool restorePrevious(const std::string& root);

  // Removes the install path, then its tree, leftovers first.
  static void uninstall(const std::string& root);

  // Tests make the directory sync after the exchange fail.
  void setDirectorySync(std::function<void(int)> sync) { syncDirectory_ = std::move(sync); }
  // Tests stop an exchange after each step, as a crash would: for a link, 1 (previous linked) and
  // 2 (switched); for an old directory without RENAME_EXCHANGE, 1 (marker written), 2 (directory
  // moved aside), 3 (link in place) and 4 (marker removed).
  void setStepHook(std::function<void(int)> hook) { stepHook_ = std::move(hook); }

 private:
  std::string makeStaging() const;
  std::string migrateDirectory(int parent, const std::string& treeName) const;
  void step(int number) const {
    if (stepHook_) stepHook_(number);
  }

  std::string root_;
  std::uint64_t sizeCap_;
  std::function<void(int)> syncDirectory_;
  std::function<void(int)> stepHook_;
  bool keepPrevious_ = false;
};

}  // namespace talvo
