#pragma once
// One update cycle of the updater: a background check, a user-started update, an install that
// may have to wait for the current recording to end. It decides when update work may begin and
// whether recording must be blocked; it does no work itself. A recording is never interrupted
// by an update, and once an install has begun recording stays blocked until the cycle fails or
// the program is replaced.
#include <limits>
#include <optional>
#include <string>

namespace talvo {

struct UpdateLifecycle {
  // Background checks start at most this often (seconds).
  static constexpr double checkInterval = 21600;
  // "Never checked": any time is long enough after it.
  static constexpr double distantPast = -std::numeric_limits<double>::infinity();

  // When the last background check began, in seconds of the caller's clock. The caller passes
  // a clock that keeps running through suspend and ignores changes of the wall-clock time
  // (CLOCK_BOOTTIME), so the interval is real elapsed time.
  double lastChecked = distantPast;
  bool checking = false;           // a check or user update is running
  bool blocksRecording = false;    // an update is being installed or applied
  bool waitingForCapture = false;  // the relaunch into the new version waits for the recording
  std::optional<std::string> availableVersion;
  bool userInitiated = false;
  bool installing = false;

  bool operator==(const UpdateLifecycle&) const = default;

  // A background check may start: nothing running or blocking, no busy recording, and at least
  // checkInterval since the previous one. A time that is not a number never qualifies.
  bool beginQuietCheck(double now, bool captureBusy);
  // The user asked to update to the known available version.
  bool beginUserUpdate(bool captureBusy);
  void found(std::string version);
  void noUpdate();
  void willInstall();
  // The new version is ready; its relaunch waits while a recording is busy. Returns captureBusy.
  bool postponeRelaunch(bool captureBusy);
  // The recording ended; true when a postponed relaunch was waiting for it.
  bool captureBecameIdle();
  void finished();
  void failed();
};

}  // namespace talvo
