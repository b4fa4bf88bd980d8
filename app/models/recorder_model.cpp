#include "app/models/recorder_model.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QThreadPool>

#include "app/capture/echo_canceller_factory.h"
#include "app/capture/free_space.h"
#include "app/capture/pulse_capture_source.h"
#include "app/log_categories.h"
#include "app/models/model_worker.h"
#include "app/models/program_settings.h"
#include "core/system/clock.h"
#include "core/program/native_product.h"
#include "core/system/posix_file.h"
#include "core/values/recording_id.h"

namespace talvo {
namespace {

std::unique_ptr<NativeAudioCapture> pulseCapture(NativeAudioCapture::MainThreadPoster postToMain) {
  auto [computer, microphone] = PulseCaptureSource::makePair();
  NativeAudioCapture::Options options;
  if (echoCancellationEnabled()) options.echoCanceller = makeEchoCanceller;
  return std::make_unique<NativeAudioCapture>(std::move(computer), std::move(microphone), Clock::system(),
                                              availableBytes, std::move(postToMain), std::move(options));
}

// The engine's callbacks run on the main thread, through the application object, which outlives
// every model; each callback checks that its model still exists.
void postToMain(std::function<void()> task) {
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
}

// The result of starting an engine on a worker: the WAV path, or the failure's text.
struct EngineStart {
  std::shared_ptr<NativeAudioCapture> engine;
  std::optional<std::string> wav;
  std::string failure;
};

// An engine's destructor joins its threads: never on the main thread.
void releaseOnWorker(std::shared_ptr<NativeAudioCapture> engine) {
  if (!engine) return;
  modelWorkers()->start([engine = std::move(engine)]() mutable { engine.reset(); });
}

}  // namespace

QString RecorderModel::recordingDirectory(bool preview) {
  if (preview) return QDir::tempPath() + "/TALVO-UI-Preview/Recordings";
  // Without the trailing "/": the upload queue refuses such a path, since Linux follows a link
  // named that way even with O_NOFOLLOW.
  QString directory = QString::fromStdString(recordingsDirectory());
  while (directory.size() > 1 && directory.endsWith(QLatin1Char('/'))) directory.chop(1);
  return directory;
}

RecorderModel::RecorderModel(bool preview, QObject* parent) : RecorderModel(Setup{}, preview, parent) {}

RecorderModel::RecorderModel(Setup setup, bool preview, QObject* parent) : QObject(parent), setup_(std::move(setup)) {
  if (!setup_.permission) setup_.permission = std::make_shared<GrantedMicrophonePermission>();
  if (!setup_.captureFactory) setup_.captureFactory = pulseCapture;
  directory_ = setup_.directory.value_or(recordingDirectory(preview));
  // Before the cloud model: its queue opens the directory on a worker right away.
  if (!preview) {
    try {
      posix_file::makeDirectories(directory_.toStdString());
    } catch (const std::exception&) {  // the instance lock created it already; a failure shows at start
      qCDebug(captureLog).noquote() << "recordings folder not made:" << QString::fromStdString(currentErrorText())
                                    << "- a start reports it";
    }
  }
  cloud_ = new CloudModel(directory_, setup_.cloud, this);
  folder_ = new LocalRecordingFolder(directory_, setup_.folder, preview, this);
}

RecorderModel::~RecorderModel() { releaseOnWorker(std::move(capture_)); }

void RecorderModel::setPanelVisible(bool visible) {
  panelVisible_ = visible;
  if (visible) {  // the panel shows what happened while it was hidden
    setElapsed(latestElapsed_);
    setLevels(latestLevels_);
  }
}

void RecorderModel::start() {
  // The cloud model may still wait for the keyring: the recording does not, it joins the queue later.
  if (recording_ || starting_ || stopping_ || (canStartRecording && !canStartRecording())) return;
  startFailure_.reset();
  setStarting(true);
  setCaptureWarning(std::nullopt);
  destination_ = folder_->directory();
  resetLevels();
  latestElapsed_ = 0;
  QPointer<RecorderModel> self(this);
  setup_.permission->request([self](bool granted) {
    postToMain([self, granted] {
      if (self) self->continueStart(granted);
    });
  });
}

void RecorderModel::continueStart(bool granted) {
  if (!granted) {
    setCaptureWarning(QString(permissionText));
    setStarting(false);
    return;
  }
  // The record is written before the file exists, so no recording is ever without one.
  cloud_->reserve([this](std::optional<QString> id, std::optional<QString> failure) {
    if (!id) {
      generation_.reset();
      recordingID_.reset();
      setCaptureWarning(failure);
      setStarting(false);
      return;
    }
    startEngine(*id);
  });
}

void RecorderModel::startEngine(const QString& id) {
  qCDebug(captureLog) << "recording" << id << "starts";
  recordingID_ = id;
  const QUuid generation = QUuid::createUuid();
  generation_ = generation;
  QPointer<RecorderModel> self(this);
  // Building the sources and starting them takes sound-server round trips: on a worker.
  runOnWorker(
      this,
      [factory = setup_.captureFactory, self, generation, directory = directory_.toStdString(),
       recording = id.toStdString()]() {
        std::shared_ptr<NativeAudioCapture> engine = factory(postToMain);
        engine->onProgress = [self, generation](double elapsed, float computer, float microphone,
                                                const std::optional<std::string>& warning) {
          if (self && self->generation_ == generation && self->recording_)
            self->acceptProgress(elapsed, computer, microphone, warning);
        };
        engine->onFailure = [self, generation](const std::string& text) {
          if (!self || self->generation_ != generation) return;
          if (self->recording_) {
            self->stop(QString::fromStdString(text));
          } else if (!self->startFailure_) {  // the start has not come back yet: it applies it
            self->startFailure_ = QString::fromStdString(text);
          }
        };
        EngineStart started;
        started.engine = engine;
        try {
          started.wav = engine->start(directory, recording);
        } catch (const std::exception& error) {
          started.failure = error.what();
          LogSink::line(log_category::capture, LogLevel::warning,
                        "recording " + recording + " not started: " + currentErrorText());
        }
        return started;
      },
      [this, id](WorkerOutcome<EngineStart> outcome) {
        EngineStart started;
        if (outcome.ok()) {
          started = std::move(*outcome.value);
        } else {
          started.failure = outcome.description();  // building the engine failed
          qCWarning(captureLog).noquote()
              << "recording" << id << "not started, no engine:" << QString::fromStdString(outcome.diagnosis());
        }
        if (!started.wav) {
          startFailure_.reset();
          releaseOnWorker(std::move(started.engine));
          generation_.reset();
          recordingID_.reset();
          setCaptureWarning(QString::fromStdString(started.failure));
          cloud_->finish(id, true, [this] { setStarting(false); });
          return;
        }
        setSaved(QString::fromStdString(*started.wav));
        capture_ = std::move(started.engine);
        setRecording(true);
        setElapsed(0);
        setStarting(false);
        if (auto failure = std::exchange(startFailure_, std::nullopt)) stop(failure);
      });
}

void RecorderModel::stop(const std::optional<QString>& reason, std::function<void()> completion) {
  if (!recording_ || !capture_) {
    if (completion) completion();
    return;
  }
  const std::optional<QString> id = recordingID_;
  recordingID_.reset();
  generation_.reset();  // late callbacks of this engine are ignored from now on
  // `stopping` first, so an observer never sees an idle moment between the two.
  setStopping(true);
  setRecording(false);
  resetLevels();
  QPointer<RecorderModel> self(this);
  capture_->stop([self, id, reason, completion](const std::optional<std::string>& file,
                                                const std::optional<std::string>& failure) {
    if (!self) {
      if (completion) completion();
      return;
    }
    self->stopped(id, reason, file, failure, completion);
  });
}

void RecorderModel::stopped(const std::optional<QString>& id, const std::optional<QString>& reason,
                            const std::optional<std::string>& file, const std::optional<std::string>& failure,
                            std::function<void()> completion) {
  qCDebug(captureLog) << "recording" << id.value_or(QString()) << "stopped:" << (file ? "file kept" : "no file")
                      << (reason || failure ? "interrupted" : "");
  releaseOnWorker(std::move(capture_));
  if (file) setSaved(QString::fromStdString(*file));
  if (reason) {
    setCaptureWarning(reason);
  } else if (failure) {
    setCaptureWarning(QString::fromStdString(*failure));
  } else {
    setCaptureWarning(std::nullopt);
  }
  const bool interrupted = reason.has_value() || failure.has_value();
  // Final and queued ends "stopping": a copy into the user's folder (which may hang on a network
  // folder) runs on as "copying" and never holds up a new recording or a quit's bounded wait.
  auto publish = [this, file, completion] {
    emit handedToQueue();
    if (!file || !destination_) {
      setStopping(false);
      if (completion) completion();
      return;
    }
    setCopies(copies_ + 1);
    setStopping(false);
    folder_->publish(QString::fromStdString(*file), *destination_,
                     [this, file, completion](const std::optional<QString>& copy) {
                       // The panel points to the copy, unless a newer recording took its place.
                       if (copy && saved_ == QString::fromStdString(*file) && !recording_ && !starting_) setSaved(copy);
                       setCopies(copies_ - 1);
                       if (completion) completion();
                     });
  };
  if (id) {
    cloud_->finish(*id, interrupted, publish);
  } else {
    publish();
  }
}

void RecorderModel::acceptProgress(double elapsed, float computer, float microphone,
                                   const std::optional<std::string>& warning) {
  latestElapsed_ = elapsed;
  latestLevels_.append(computer, microphone);
  if (onStatusLevels) {
    const auto tray = latestLevels_.tray();
    onStatusLevels(std::vector<float>(tray.begin(), tray.end()));
  }
  const std::optional<QString> text = warning ? std::optional<QString>(QString::fromStdString(*warning)) : std::nullopt;
  if (text != captureWarning_) setCaptureWarning(text);
  if (panelVisible_) {
    setElapsed(elapsed);
    setLevels(latestLevels_);
  }
}

void RecorderModel::resetLevels() {
  latestLevels_.reset();
  setLevels(latestLevels_);
}

void RecorderModel::setRecording(bool value) {
  if (recording_ == value) return;
  recording_ = value;
  qCDebug(captureLog) << (value ? "capture: recording" : "capture: not recording");
  emit recordingChanged();
}

void RecorderModel::setElapsed(double value) {
  if (elapsed_ == value) return;
  elapsed_ = value;
  emit elapsedChanged();
}

void RecorderModel::setSaved(const std::optional<QString>& value) {
  if (saved_ == value) return;
  saved_ = value;
  emit savedChanged();
}

void RecorderModel::setStarting(bool value) {
  if (starting_ == value) return;
  starting_ = value;
  qCDebug(captureLog) << (value ? "capture: starting" : "capture: start over");
  emit startingChanged();
}

void RecorderModel::setStopping(bool value) {
  if (stopping_ == value) return;
  stopping_ = value;
  qCDebug(captureLog) << (value ? "capture: stopping" : "capture: stop over");
  emit stoppingChanged();
}

void RecorderModel::setCopies(int value) {
  const bool was = copying();
  copies_ = value;
  if (copying() == was) return;
  qCDebug(captureLog) << (copying() ? "capture: copying into the chosen folder" : "capture: copy over");
  emit copyingChanged();
}

void RecorderModel::setCaptureWarning(const std::optional<QString>& value) {
  if (captureWarning_ == value) return;
  captureWarning_ = value;
  if (value) qCDebug(captureLog) << "capture warning:" << *value;
  emit captureWarningChanged();
}

void RecorderModel::setLevels(const RecordingLevels& value) {
  if (levels_ == value) return;
  levels_ = value;
  emit levelsChanged();
}

}  // namespace talvo
