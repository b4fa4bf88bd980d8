#include "app/ui/capture_panel_binding.h"

#include <QDesktopServices>
#include <QUrl>

#include "app/models/cloud_model.h"
#include "app/models/local_recording_folder.h"
#include "app/models/login_startup.h"
#include "app/models/program_settings.h"
#include "app/models/recorder_model.h"
#include "app/reminders/meeting_reminders.h"
#include "app/ui/capture_panel.h"
#include "app/updates/release_updates.h"

namespace talvo {

void CapturePanelBinding::connectTo(CapturePanel* panel) {
  auto refresh = [panel] { panel->refresh(); };
  RecorderModel* r = &m_.recorder;
  for (auto signal :
       {&RecorderModel::recordingChanged, &RecorderModel::elapsedChanged, &RecorderModel::startingChanged,
        &RecorderModel::stoppingChanged, &RecorderModel::captureWarningChanged, &RecorderModel::levelsChanged}) {
    QObject::connect(r, signal, panel, refresh);
  }
  CloudModel* c = &m_.cloud;
  for (auto signal : {&CloudModel::preparingChanged, &CloudModel::connectedChanged, &CloudModel::accountLabelChanged,
                      &CloudModel::codeChanged, &CloudModel::approvalUrlChanged, &CloudModel::candidateOwnerChanged,
                      &CloudModel::candidateLabelChanged, &CloudModel::infoChanged, &CloudModel::summaryChanged,
                      &CloudModel::messageChanged, &CloudModel::localWarningChanged, &CloudModel::busyChanged,
                      &CloudModel::openingLibraryChanged, &CloudModel::libraryFailureChanged}) {
    QObject::connect(c, signal, panel, refresh);
  }
  QObject::connect(&m_.folder, &LocalRecordingFolder::directoryChanged, panel, refresh);
  QObject::connect(&m_.folder, &LocalRecordingFolder::failureChanged, panel, refresh);
  for (auto signal : {&LoginStartup::enabledChanged, &LoginStartup::labelChanged, &LoginStartup::needsApprovalChanged,
                      &LoginStartup::failureChanged}) {
    QObject::connect(&m_.loginStartup, signal, panel, refresh);
  }
  for (auto signal :
       {&ReleaseUpdates::availableChanged, &ReleaseUpdates::blocksRecordingChanged, &ReleaseUpdates::failureChanged}) {
    QObject::connect(&m_.updates, signal, panel, refresh);
  }
  if (m_.reminders) QObject::connect(m_.reminders, &MeetingReminders::detectorMessageChanged, panel, refresh);
}

CapturePanelState CapturePanelBinding::state() const {
  CapturePanelState s;
  const RecorderModel& r = m_.recorder;
  s.recording = r.recording();
  s.starting = r.starting();
  s.stopping = r.stopping();
  s.elapsed = r.elapsed();
  s.levels.assign(r.levels().values().begin(), r.levels().values().end());
  s.captureWarning = r.captureWarning();

  const CloudModel& c = m_.cloud;
  s.cloudPreparing = c.preparing();
  s.connected = c.connected();
  s.cloudBusy = c.busy();
  s.openingLibrary = c.openingLibrary();
  s.accountLabel = c.accountLabel();
  s.pairingCode = c.code();
  s.hasApprovalUrl = c.approvalUrl().has_value();
  s.hasCandidate = c.candidateOwner().has_value();
  s.candidateLabel = c.candidateLabel();
  s.libraryFailure = c.libraryFailure();
  s.localWarning = c.localWarning();
  s.cloudMessage = c.message();
  s.queueLabel = c.queueLabel();
  s.tariffLabel = c.tariffLabel();
  s.unlinked = c.summary().unlinked;

  s.folderDirectory = m_.folder.directory();
  s.folderFailure = m_.folder.failure();

  s.loginEnabled = m_.loginStartup.enabled();
  s.loginEligible = m_.loginStartup.eligible();
  s.loginNeedsApproval = m_.loginStartup.needsApproval();
  s.loginPreview = m_.loginStartup.preview();
  s.loginFailure = m_.loginStartup.failure();
  s.echoCancellation = echoCancellationEnabled();

  s.updateBlocksRecording = m_.updates.blocksRecording();
  s.updateAvailable = m_.updates.available();
  s.updateFailure = m_.updates.failure();
  if (m_.reminders && m_.reminders->detectorMessage() != MeetingReminders::readyMessage) {
    s.reminderNotice = m_.reminders->detectorMessage();  // reminders fail or pause: say so
  }
  return s;
}

void CapturePanelBinding::perform(CapturePanelAction action) {
  switch (action) {
    case CapturePanelAction::start:
      m_.recorder.start();
      break;
    case CapturePanelAction::stop:
      m_.recorder.stop();
      break;
    case CapturePanelAction::openLibrary:
      m_.cloud.openLibrary();
      break;
    case CapturePanelAction::openBot:
      m_.cloud.openBot();
      break;
    case CapturePanelAction::openApprovalUrl:
      if (auto url = m_.cloud.approvalUrl()) QDesktopServices::openUrl(*url);
      break;
    case CapturePanelAction::connect:
      m_.cloud.connect();
      break;
    case CapturePanelAction::confirm:
      m_.cloud.confirm();
      break;
    case CapturePanelAction::restartPair:
      m_.cloud.restartPair();
      break;
    case CapturePanelAction::adoptUnlinked:
      m_.cloud.adoptUnlinked();
      break;
    case CapturePanelAction::disconnect:
      m_.cloud.disconnect();
      break;
    case CapturePanelAction::openTariff:
      m_.cloud.openTariff();
      break;
    case CapturePanelAction::openUpdate:
      m_.updates.open();
      break;
    case CapturePanelAction::chooseFolder:
      m_.folder.choose();
      break;
    case CapturePanelAction::openFolder:
      m_.folder.open();
      break;
    case CapturePanelAction::openOriginalFolder:
      QDesktopServices::openUrl(QUrl::fromLocalFile(m_.folder.original()));
      break;
    case CapturePanelAction::enableLogin:
      m_.loginStartup.setEnabled(true);
      break;
    case CapturePanelAction::disableLogin:
      m_.loginStartup.setEnabled(false);
      break;
    case CapturePanelAction::enableEchoCancellation:
      setEchoCancellationEnabled(true);
      break;
    case CapturePanelAction::disableEchoCancellation:
      setEchoCancellationEnabled(false);
      break;
    case CapturePanelAction::openLoginSettings:
      m_.loginStartup.openSettings();
      break;
    case CapturePanelAction::refreshLoginStartup:
      m_.loginStartup.refresh();
      break;
    case CapturePanelAction::checkUpdates:
      m_.updates.check();
      break;
  }
}

}  // namespace talvo
