#include "core/updates/update_lifecycle.h"

namespace talvo {

bool UpdateLifecycle::beginQuietCheck(double now, bool captureBusy) {
  if (checking || blocksRecording || captureBusy) return false;
  if (!(now - lastChecked >= checkInterval)) return false;  // also refuses NaN
  checking = true;
  lastChecked = now;
  userInitiated = false;
  return true;
}

bool UpdateLifecycle::beginUserUpdate(bool captureBusy) {
  if (!availableVersion || checking || blocksRecording || captureBusy) return false;
  checking = true;
  blocksRecording = true;
  userInitiated = true;
  return true;
}

void UpdateLifecycle::found(std::string version) { availableVersion = std::move(version); }

void UpdateLifecycle::noUpdate() { availableVersion.reset(); }

void UpdateLifecycle::willInstall() {
  installing = true;
  blocksRecording = true;
}

bool UpdateLifecycle::postponeRelaunch(bool captureBusy) {
  blocksRecording = true;
  installing = true;
  waitingForCapture = captureBusy;
  return captureBusy;
}

bool UpdateLifecycle::captureBecameIdle() {
  if (!waitingForCapture) return false;
  waitingForCapture = false;
  return true;
}

void UpdateLifecycle::finished() {
  checking = false;
  userInitiated = false;
  if (!waitingForCapture && !installing) blocksRecording = false;
}

void UpdateLifecycle::failed() {
  checking = false;
  blocksRecording = false;
  waitingForCapture = false;
  userInitiated = false;
  installing = false;
}

}  // namespace talvo
