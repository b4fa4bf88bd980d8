#pragma once
// Starting the program at login through the XDG autostart entry
// $XDG_CONFIG_HOME/autostart/pro.talvo.recorder.desktop. Only the installed production copy
// (see LoginStartupPolicy) touches it; that copy registers itself once, on its first launch, and
// afterwards only follows the user's toggle. Publishes the toggle state and a status line.
//
// Statuses read from the entry: enabled = our entry exists, parses, runs the installed program
// and is neither Hidden=true nor X-GNOME-Autostart-enabled=false; notRegistered = no entry, or
// one the user disabled; notFound = the installed program is missing or not executable.
#include <memory>
#include <optional>

#include <QObject>
#include <QSettings>
#include <QString>

#include "app/models/url_opener.h"
#include "autostart/login_startup_command.h"
#include "autostart/login_startup_state.h"
#include "autostart/login_startup_status.h"

namespace talvo {

class LoginStartup : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* previewLabel = "Автозапуск недоступен в пробной сборке";
  static constexpr const char* offLabel = "Запуск при входе выключен";
  static constexpr const char* onLabel = "Запуск при входе включён";
  static constexpr const char* approvalLabel = "Нужно разрешение в настройках автозапуска";
  static constexpr const char* notFoundLabel = "Система не нашла установленное приложение";
  static constexpr const char* failureText = "Не удалось изменить автозапуск. Проверьте настройки автозапуска.";
  static constexpr const char* entryName = "pro.talvo.recorder.desktop";

  struct Setup {
    std::shared_ptr<QSettings> settings;  // default: the program's QSettings
    bool production = false;              // default: this build's release channel
    std::optional<QString> runningPath;   // default: the real path of /proc/self/exe
    // The installed program is $XDG_DATA_HOME/TALVO/app/bin/talvo (LoginStartupPolicy).
    std::optional<QString> autostartDirectory;  // default: $XDG_CONFIG_HOME/autostart
    QStringList systemAutostartDirectories;     // default: $XDG_CONFIG_DIRS/autostart
    UrlOpener openUrl;                          // default: QDesktopServices::openUrl
  };
  static Setup productionSetup();

  explicit LoginStartup(bool preview = false, QObject* parent = nullptr);
  LoginStartup(Setup setup, bool preview, QObject* parent = nullptr);

  bool enabled() const { return enabled_; }
  QString label() const { return label_; }
  bool needsApproval() const { return needsApproval_; }
  std::optional<QString> failure() const { return failure_; }
  bool eligible() const { return eligible_; }
  bool preview() const { return preview_; }

  void refresh();
  void setEnabled(bool on);
  // Opens the autostart folder (only for an eligible, non-preview copy).
  void openSettings();

  // The status the entry on disk gives.
  LoginStartupStatus status() const;

 signals:
  void enabledChanged();
  void labelChanged();
  void needsApprovalChanged();
  void failureChanged();

 private:
  void execute(LoginStartupCommand command);
  void saveState();
  void writeEntry(const std::string& contents);
  void registerEntry();
  void unregisterEntry();

  bool enabled_ = false;
  QString label_ = previewLabel;
  bool needsApproval_ = false;
  std::optional<QString> failure_;
  bool eligible_ = false;
  bool preview_ = false;
  LoginStartupState state_;
  Setup setup_;
};

}  // namespace talvo
