#pragma once
// The state of recording as the interface sees it. Owns the cloud model, the local recording
// folder and at most one capture engine; turns start and stop into the engine's lifecycle and,
// when a recording ends, hands the file to the upload queue and the user's folder.
//
//   idle ──start──▶ starting ──engine started──▶ recording ──stop──▶ stopping ──final, queued──▶ idle
//                      └── permission denied / no id / engine failed ──▶ idle (captureWarning)
//
// `copying` runs beside that: from "final, queued" until the copy into the user's folder is
// over. A new recording may start meanwhile; a hung network folder blocks nothing.
//
// Lives on the main thread and never waits there: the permission answer, the id reservation,
// the engine's start (sound-server round trips) and its stop sequence run elsewhere and come
// back through continuations bound to this object. `generation` identifies the engine run, so
// callbacks of a stopped engine change nothing; a failure of the current run that arrives while
// its start is still on the way is kept and applied when the start comes back.
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>
#include <QString>
#include <QUuid>

#include "app/capture/native_audio_capture.h"
#include "app/models/cloud_model.h"
#include "app/models/local_recording_folder.h"
#include "app/models/microphone_permission.h"
#include "core/recording/recording_levels.h"

namespace talvo {

class RecorderModel : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* permissionText = "Разрешите доступ к микрофону в настройках системы.";

  // Builds one engine for one recording; `postToMain` delivers its callbacks.
  using CaptureFactory =
      std::function<std::unique_ptr<NativeAudioCapture>(NativeAudioCapture::MainThreadPoster postToMain)>;

  struct Setup {
    std::optional<QString> directory;                  // default: the recordings directory
    std::shared_ptr<MicrophonePermission> permission;  // default: granted
    CaptureFactory captureFactory;                     // default: the PulseAudio sources and the system clock
    CloudModel::Setup cloud;
    LocalRecordingFolder::Setup folder;
  };

  // The recordings directory, or the temporary preview one.
  static QString recordingDirectory(bool preview = false);

  explicit RecorderModel(bool preview = false, QObject* parent = nullptr);
  RecorderModel(Setup setup, bool preview, QObject* parent = nullptr);
  ~RecorderModel() override;

  // Published state.
  bool recording() const { return recording_; }
  double elapsed() const { return elapsed_; }
  std::optional<QString> saved() const { return saved_; }
  bool starting() const { return starting_; }
  bool stopping() const { return stopping_; }
  // A finished recording's copy into the chosen folder is still running.
  bool copying() const { return copies_ > 0; }
  std::optional<QString> captureWarning() const { return captureWarning_; }
  const RecordingLevels& levels() const { return levels_; }

  // Plain state.
  QString directory() const { return directory_; }
  CloudModel& cloud() { return *cloud_; }
  LocalRecordingFolder& folder() { return *folder_; }
  double latestElapsed() const { return latestElapsed_; }
  const RecordingLevels& latestLevels() const { return latestLevels_; }
  std::optional<QString> recordingId() const { return recordingID_; }

  // Set by the shell: whether the panel is on screen (while hidden, `elapsed` and `levels`
  // stand still); the receiver of the tray meter's 7 newest levels; a veto before starting.
  // Showing the panel copies the latest values in.
  void setPanelVisible(bool visible);
  bool panelVisible() const { return panelVisible_; }
  std::function<void(const std::vector<float>& tray)> onStatusLevels;
  std::function<bool()> canStartRecording = [] { return true; };

  // Begins a recording if allowed; returns at once.
  void start();
  // Ends the current recording; `completion` runs (main thread) once the file is finalised and
  // handed on and its copy is over, or at once when nothing is recording.
  void stop(const std::optional<QString>& reason = std::nullopt, std::function<void()> completion = {});
  // One progress snapshot of the running engine.
  void acceptProgress(double elapsed, float computer, float microphone, const std::optional<std::string>& warning);

 signals:
  void recordingChanged();
  void elapsedChanged();
  void savedChanged();
  void startingChanged();
  void stoppingChanged();
  void copyingChanged();
  void captureWarningChanged();
  void levelsChanged();
  // A stopped recording is final and in the queue; only the copy into the user's folder may
  // still run.
  void handedToQueue();

 private:
  void continueStart(bool granted);
  void startEngine(const QString& id);
  void stopped(const std::optional<QString>& id, const std::optional<QString>& reason,
               const std::optional<std::string>& file, const std::optional<std::string>& failure,
               std::function<void()> completion);
  void setRecording(bool value);
  void setElapsed(double value);
  void setSaved(const std::optional<QString>& value);
  void setStarting(bool value);
  void setStopping(bool value);
  void setCopies(int value);
  void setCaptureWarning(const std::optional<QString>& value);
  void setLevels(const RecordingLevels& value);
  void resetLevels();

  bool recording_ = false;
  double elapsed_ = 0;
  std::optional<QString> saved_;
  bool starting_ = false;
  bool stopping_ = false;
  int copies_ = 0;
  std::optional<QString> captureWarning_;
  RecordingLevels levels_;

  // The engine is shared with the worker that starts or stops it, so a model destroyed
  // meanwhile never frees an engine under a running call.
  std::shared_ptr<NativeAudioCapture> capture_;
  std::optional<QUuid> generation_;
  // A failure the engine reported before its start came back to this thread.
  std::optional<QString> startFailure_;
  QString directory_;
  CloudModel* cloud_ = nullptr;
  LocalRecordingFolder* folder_ = nullptr;
  std::optional<QString> destination_;
  std::optional<QString> recordingID_;
  bool panelVisible_ = false;
  double latestElapsed_ = 0;
  RecordingLevels latestLevels_;
  Setup setup_;
};

}  // namespace talvo
