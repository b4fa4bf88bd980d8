#pragma once
// The capture panel's models: the recorder, the cloud model, the recordings folder, login
// startup, the update controller and the meeting reminders. Reads the panel's state from them, runs each control as
// the one model operation behind it, and refreshes the panel on any of their changes.
#include "app/ui/capture_panel_models.h"

namespace talvo {

class CapturePanel;
class CloudModel;
class LocalRecordingFolder;
class LoginStartup;
class MeetingReminders;
class RecorderModel;
class ReleaseUpdates;

class CapturePanelBinding : public CapturePanelModels {
 public:
  struct Models {
    RecorderModel& recorder;
    CloudModel& cloud;
    LocalRecordingFolder& folder;
    LoginStartup& loginStartup;
    ReleaseUpdates& updates;
    MeetingReminders* reminders = nullptr;
  };

  explicit CapturePanelBinding(Models models) : m_(models) {}

  // Every published change of a model refreshes `panel` (which does nothing while hidden).
  void connectTo(CapturePanel* panel);

  CapturePanelState state() const override;
  void perform(CapturePanelAction action) override;

 private:
  Models m_;
};

}  // namespace talvo
