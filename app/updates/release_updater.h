#pragma once
// The updater that ReleaseUpdates drives: it checks the feed and installs releases, asking its
// delegate (ReleaseUpdates) at each step. Tests replace it with a scripted one.
namespace talvo {

class ReleaseUpdater {
 public:
  virtual ~ReleaseUpdater() = default;
  // False while a cycle is running.
  virtual bool canCheckForUpdates() const = 0;
  // Check the feed without any user interface; a found release is only reported.
  virtual void checkForUpdatesInBackground() = 0;
  // Check, ask the user, download, verify, install and relaunch, with the install dialog.
  virtual void checkForUpdates() = 0;
};

}  // namespace talvo
