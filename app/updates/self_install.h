#pragma once
// `talvo --install` and `talvo --uninstall`: the release tree the program runs from, installed
// for the user the way the updater installs a release, and removed again.
//
// Install: the running tree (<tree>/bin/talvo) is packed into an anonymous tar file and handed
// to InstallTree, so it is staged beside <data>/TALVO/app, checked with --version and exchanged
// in one step, as an update is; then the menu entry (<data>/applications) and the icon
// (<data>/icons/hicolor/scalable/apps) are written atomically, pointing at the installed program.
// A path that no desktop entry can name safely is refused before anything is written.
//
// Uninstall: removes the tree, leftovers of interrupted updates, the menu entry, the icon and the
// autostart entry; recordings and the keyring's credentials stay. Refused while another instance
// runs (it may be recording, and its program is the tree).
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
  static int uninstall(const Places& places, std::ostream& out, std::ostream& err);

  // The menu entry of the installed program at `program`, made from the tree's own entry; none
  // when `program` cannot be written in one.
  static std::optional<std::string> menuEntry(const std::string& treeEntry, const std::string& program);
};

}  // namespace talvo
