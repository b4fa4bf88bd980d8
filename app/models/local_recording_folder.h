#pragma once
// The folder where a copy of every finished recording appears (the recordings directory when
// the user has not chosen another one). Remembers the choice under "localRecordingFolder.v1",
// lets the user choose or open the folder, and copies each finished recording there through
// LocalRecordingExport on a worker thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QObject>
#include <QSettings>
#include <QString>

#include "app/models/folder_chooser.h"
#include "app/models/url_opener.h"

namespace talvo {

class LocalRecordingFolder : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* settingsKey = "localRecordingFolder.v1";
  static constexpr const char* chooseFailedText = "В эту папку нельзя сохранять записи. Выберите другую.";
  static constexpr const char* openFailedText = "Папка недоступна. Выберите папку в настройках.";
  static constexpr const char* publishFailedText =
      "Не удалось сохранить копию в выбранную папку. Исходная запись сохранена на компьютере.";

  struct Setup {
    std::shared_ptr<QSettings> settings;     // default: the program's QSettings
    std::shared_ptr<FolderChooser> chooser;  // default: the directory dialog
    UrlOpener openUrl;                       // default: QDesktopServices::openUrl
    // Copies a recording into a folder and answers the copy's path (runs on a worker).
    std::function<std::string(const std::string& file, const std::string& directory)> copy =
        nullptr;  // default: LocalRecordingExport
  };

  // `original`: the recordings directory. In preview mode the folder is ~/Documents/ТАЛВО and
  // nothing is read.
  explicit LocalRecordingFolder(QString original, bool preview = false, QObject* parent = nullptr);
  LocalRecordingFolder(QString original, Setup setup, bool preview, QObject* parent = nullptr);

  QString directory() const { return directory_; }
  std::optional<QString> failure() const { return failure_; }
  QString original() const { return original_; }

  void choose();
  void open();
  // Copies `file` into `destination` unless it already lies there. `done` gets (main thread)
  // the path to show — the copy, or `file` itself — or none when the copy failed.
  void publish(const QString& file, const QString& destination,
               std::function<void(const std::optional<QString>&)> done);

 signals:
  void directoryChanged();
  void failureChanged();

 private:
  void setFailure(const std::optional<QString>& value);

  QString directory_;
  std::optional<QString> failure_;
  QString original_;
  Setup setup_;
};

}  // namespace talvo
