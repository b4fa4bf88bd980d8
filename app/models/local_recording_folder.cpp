#include "app/models/local_recording_folder.h"

#include <unistd.h>

#include <QDir>
#include <QFileInfo>

#include "app/log_categories.h"
#include "app/models/model_worker.h"
#include "app/models/program_settings.h"
#include "core/recording/local_recording_export.h"

namespace talvo {

LocalRecordingFolder::LocalRecordingFolder(QString original, bool preview, QObject* parent)
    : LocalRecordingFolder(std::move(original), Setup{}, preview, parent) {}

LocalRecordingFolder::LocalRecordingFolder(QString original, Setup setup, bool preview, QObject* parent)
    : QObject(parent), original_(std::move(original)), setup_(std::move(setup)) {
  if (!setup_.settings) setup_.settings = programSettings();
  if (!setup_.chooser) setup_.chooser = std::make_shared<DialogFolderChooser>();
  if (!setup_.openUrl) setup_.openUrl = desktopUrlOpener();
  if (!setup_.copy) setup_.copy = &LocalRecordingExport::copy;
  if (preview) {
    directory_ = QDir::homePath() + "/Documents/ТАЛВО";
    return;
  }
  // Only an absolute path is ours; whether the folder still exists shows when it is used.
  const QVariant stored = setup_.settings->value(settingsKey);
  const QString path = stored.typeId() == QMetaType::QString ? stored.toString() : QString();
  directory_ = path.startsWith('/') ? path : original_;
  // A copy cut short by a crash left its hidden temporary there; the folder may be a slow mount.
  runOnWorker(
      this, [directory = directory_.toStdString()] { LocalRecordingExport::removeLeftovers(directory); },
      [](WorkerOutcome<std::monostate>) {});
}

void LocalRecordingFolder::choose() {
  const auto chosen = setup_.chooser->choose("Выбрать", "Куда сохранять локальные записи ТАЛВО", directory_);
  if (!chosen) return;
  const QFileInfo info(*chosen);
  const QString resolved = info.canonicalFilePath();  // symbolic links resolved, "." and ".." gone
  bool usable = !resolved.isEmpty() && QFileInfo(resolved).isDir() &&
                ::access(QFile::encodeName(resolved).constData(), W_OK) == 0;
  if (usable) {
    try {  // a folder every copy would refuse is refused now, not after the next recording
      LocalRecordingExport::checkDestination(QFile::encodeName(resolved).toStdString());
    } catch (const std::exception&) {
      qCDebug(captureLog).noquote() << "chosen folder" << resolved
                                    << "refused:" << QString::fromStdString(currentErrorText());
      usable = false;
    }
  }
  if (!usable) {
    setFailure(QString(chooseFailedText));
    return;
  }
  if (directory_ != resolved) {
    directory_ = resolved;
    emit directoryChanged();
  }
  setup_.settings->setValue(settingsKey, resolved);
  setup_.settings->sync();
  setFailure(std::nullopt);
}

void LocalRecordingFolder::open() {
  if (QFileInfo::exists(directory_) && setup_.openUrl(QUrl::fromLocalFile(directory_))) return;
  setFailure(QString(openFailedText));
}

void LocalRecordingFolder::publish(const QString& file, const QString& destination,
                                   std::function<void(const std::optional<QString>&)> done) {
  if (QDir::cleanPath(QFileInfo(file).absolutePath()) == QDir::cleanPath(destination)) {
    done(file);  // the recording already lies in the chosen folder
    return;
  }
  runOnWorker(
      this,
      [copy = setup_.copy, source = file.toStdString(), directory = destination.toStdString()] {
        return copy(source, directory);
      },
      [this, done = std::move(done), source = file.toStdString(),
       directory = destination.toStdString()](WorkerOutcome<std::string> outcome) {
        if (outcome.ok()) {
          setFailure(std::nullopt);
          done(QString::fromStdString(*outcome.value));
        } else {
          qCWarning(captureLog).noquote()
              << "copy into the chosen folder failed:" << QString::fromStdString(source) << "->"
              << QString::fromStdString(directory) << "-" << QString::fromStdString(outcome.diagnosis());
          setFailure(QString(publishFailedText));
          done(std::nullopt);
        }
      });
}

void LocalRecordingFolder::setFailure(const std::optional<QString>& value) {
  if (failure_ == value) return;
  failure_ = value;
  emit failureChanged();
}

}  // namespace talvo
