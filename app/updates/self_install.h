#pragma once
// `talvo --install` and `talvo --uninstall`: the release tree the program runs from, installed
// for the user the way the updater installs a release, and removed again.
//
// Install: exactly the files the running tree's MANIFEST lists (<tree>/bin/talvo runs; the
// release archive unpacked anywhere, among any other files) are streamed into a staging tree
// beside <data>/TALVO/app, hashed on the way, checked and exchanged, as an update is; then the
// menu entry (<data>/applications) and the icon (<data>/icons/hicolor/.../apps) are written
// atomically, pointing at the installed program. A path that no desktop entry can name safely,
// or a tree that differs from its manifest, is refused before anything is written.
//
// Uninstall: removes the autostart entry, the menu entry and the icons first, then the tree and
// leftovers of interrupted updates; recordings and the keyring's credentials stay. Both are
// refused while an instance runs (it may be recording, and its program is the tree).
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace talvo {

class SelfInstall {
 public:
  struct Places {
    std::string dataHome;    // $XDG_DATA_HOME or ~/.local/share
    std::string configHome;  // $XDG_CONFIG_HOME or ~/.config
  };
  // This user's places from the environment (lexically normal, absolute); throws when there is
  // no home.
  static Places current();

  static constexpr const char* desktopEntryName = "pro.talvo.recorder.desktop";
  static constexpr const char* iconName = "pro.talvo.recorder.svg";

  // Installs the tree `source` (holding bin/talvo answering `version`). Returns the exit status;
  // tells the user on `out` where it went, or on `err` why not.
  static int install(const std::string& source, const std::string& version, const Places& places, std::ostream& out,
                     std::ostream& err);
  // `beforeTreeRemoval` lets tests stop the uninstall where a crash would.
  static int uninstall(const Places& places, std::ostream& out, std::ostream& err,
                       const std::function<void()>& beforeTreeRemoval = {});

  // The menu entry of the installed program at `program`, made from the tree's own entry; none
  // when `program` cannot be written in one.
  static std::optional<std::string> menuEntry(const std::string& treeEntry, const std::string& program);
};

}  // namespace talvo
