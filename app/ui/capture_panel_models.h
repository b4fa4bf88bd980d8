#pragma once
// What the capture panel shows and what its controls do, as one value and one operation. The
// panel holds no logic of its own beyond which view to show: CapturePanelBinding fills the
// state from the recorder, cloud, folder, login-startup and update models and runs each action
// as that model's one operation; tests put stand-ins in its place.
#include <QString>
#include <optional>
#include <vector>

namespace talvo {

struct CapturePanelState {
  // Recorder.
  bool recording = false;
  bool starting = false;
  bool stopping = false;
  double elapsed = 0;
  std::vector<float> levels;  // the 35 newest levels, oldest first
  std::optional<QString> captureWarning;
  // Cloud.
  bool cloudPreparing = false;
  bool connected = false;
  bool cloudBusy = false;
  bool openingLibrary = false;
  QString accountLabel;
  std::optional<QString> pairingCode;
  bool hasApprovalUrl = false;
  bool hasCandidate = false;
  QString candidateLabel;
  std::optional<QString> libraryFailure;
  std::optional<QString> localWarning;
  std::optional<QString> cloudMessage;
  std::optional<QString> queueLabel;
  QString tariffLabel;
  int unlinked = 0;  // finished recordings without an account
  // Recordings folder.
  QString folderDirectory;
  std::optional<QString> folderFailure;
  // Login startup.
  bool loginEnabled = false;
  bool loginEligible = false;
  bool loginNeedsApproval = false;
  bool loginPreview = false;
  std::optional<QString> loginFailure;
  // The microphone's echo cancellation, for the next recording.
  bool echoCancellation = true;
  // Updates.
  bool updateBlocksRecording = false;
  std::optional<QString> updateAvailable;
  std::optional<QString> updateFailure;
  // Reminders: their status line when it is not the everyday one.
  std::optional<QString> reminderNotice;

  bool captureBusy() const { return recording || starting || stopping; }
  bool operator==(const CapturePanelState&) const = default;
};

enum class CapturePanelAction {
  start,
  stop,
  openLibrary,
  openBot,
  openApprovalUrl,
  connect,
  confirm,
  restartPair,
  adoptUnlinked,
  disconnect,
  openTariff,
  openUpdate,
  chooseFolder,
  openFolder,
  openOriginalFolder,
  enableLogin,
  disableLogin,
  openLoginSettings,
  refreshLoginStartup,
  enableEchoCancellation,
  disableEchoCancellation,
  checkUpdates,
};

class CapturePanelModels {
 public:
  virtual ~CapturePanelModels() = default;
  virtual CapturePanelState state() const = 0;
  virtual void perform(CapturePanelAction action) = 0;
};

}  // namespace talvo
