#include "app/models/login_startup.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <QDir>
#include <QUrl>

#include "app/log_categories.h"
#include "app/models/program_settings.h"
#include "core/program/native_product.h"
#include "core/system/posix_file.h"
#include "core/system/unique_fd.h"
#include "autostart/autostart_entry.h"
#include "autostart/login_startup_policy.h"

namespace talvo {
namespace {

std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (path.empty() || ::realpath(path.c_str(), resolved) == nullptr) return {};
  return resolved;
}

QString configHome() {
  const QByteArray config = qgetenv("XDG_CONFIG_HOME");
  if (config.startsWith('/')) return QString::fromLocal8Bit(config);
  return QDir::homePath() + "/.config";
}

// Whether a file of this name exists at all (a link or a file of someone else included).
bool present(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// The autostart folder, opened once per use so reading and writing see the same directory.
// Dotfile managers often make it a symbolic link: a link of the user's own to a directory of the
// user is followed, for reading and writing alike; any other link or directory is refused.
UniqueFd openAutostartDirectory(const std::string& path) {
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) != 0) throwFileError(FileErrorKind::noSuchFile);
  if (S_ISLNK(entry.st_mode) && entry.st_uid != ::getuid()) throw FileError(FileErrorKind::noPermissionWrite);
  UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) throwFileError(FileErrorKind::noSuchFile);
  struct stat info {};
  if (::fstat(dir.get(), &info) != 0) throwFileError(FileErrorKind::noPermissionRead);
  if (info.st_uid != ::getuid()) throw FileError(FileErrorKind::noPermissionWrite);
  return dir;
}

}  // namespace

LoginStartup::Setup LoginStartup::productionSetup() {
  Setup setup;
  setup.production = NativeProduct::production;
  setup.runningPath = QString::fromStdString(realPath("/proc/self/exe"));
  setup.autostartDirectory = configHome() + "/autostart";
  QByteArray dirs = qgetenv("XDG_CONFIG_DIRS");
  if (dirs.isEmpty()) dirs = "/etc/xdg";
  for (const QByteArray& dir : dirs.split(':'))
    if (dir.startsWith('/')) setup.systemAutostartDirectories << QString::fromLocal8Bit(dir) + "/autostart";
  return setup;
}

LoginStartup::LoginStartup(bool preview, QObject* parent) : LoginStartup(productionSetup(), preview, parent) {}

LoginStartup::LoginStartup(Setup setup, bool preview, QObject* parent)
    : QObject(parent), preview_(preview), setup_(std::move(setup)) {
  if (!setup_.settings) setup_.settings = programSettings();
  if (!setup_.openUrl) setup_.openUrl = desktopUrlOpener();
  if (!setup_.autostartDirectory) setup_.autostartDirectory = configHome() + "/autostart";
  if (preview_) {
    eligible_ = true;
    enabled_ = true;
    return;
  }
  const std::string running = setup_.runningPath.value_or(QString()).toStdString();
  eligible_ = LoginStartupPolicy::eligible(std::string(NativeProduct::applicationId), running,
                                           realPath(LoginStartupPolicy::installedPath()), setup_.production);
  const QVariant stored = setup_.settings->value(LoginStartupState::settingsKey);
  state_ = LoginStartupState::fromStored(
      stored.isValid() ? std::optional<std::string>(stored.toByteArray().toStdString()) : std::nullopt);
  if (!eligible_) return;  // a copy that may not touch autostart keeps its initial fields
  const LoginStartupCommand command = LoginStartupPolicy::bootstrap(true, status(), state_);
  saveState();
  execute(command);
  refresh();
}

LoginStartupStatus LoginStartup::status() const {
  const std::string program = LoginStartupPolicy::installedPath();
  if (program.empty() || ::access(program.c_str(), X_OK) != 0) return LoginStartupStatus::notFound;
  // Read our entry without following a link, bounded; anything unreadable or foreign is not ours.
  std::optional<AutostartEntry> entry;
  try {
    const UniqueFd dir = openAutostartDirectory(setup_.autostartDirectory->toStdString());
    entry = AutostartEntry::parse(posix_file::readOwnedFileAt(dir.get(), entryName, AutostartEntry::sizeLimit));
  } catch (const std::exception& error) {
    qCDebug(remindersLog) << "autostart entry not read:" << error.what() << "- counted as not registered";
    return LoginStartupStatus::notRegistered;
  }
  if (!entry || entry->hidden || entry->disabled || entry->program != program) return LoginStartupStatus::notRegistered;
  return LoginStartupStatus::enabled;
}

void LoginStartup::refresh() {
  if (!eligible_ || preview_) return;
  const LoginStartupStatus current = status();
  const bool enabled = current == LoginStartupStatus::enabled;
  const bool approval = current == LoginStartupStatus::requiresApproval;
  QString label;
  switch (current) {
    case LoginStartupStatus::notRegistered:
      label = offLabel;
      break;
    case LoginStartupStatus::enabled:
      label = onLabel;
      break;
    case LoginStartupStatus::requiresApproval:
      label = approvalLabel;
      break;
    case LoginStartupStatus::notFound:
      label = notFoundLabel;
      break;
  }
  if (enabled_ != enabled) {
    enabled_ = enabled;
    emit enabledChanged();
  }
  if (needsApproval_ != approval) {
    needsApproval_ = approval;
    emit needsApprovalChanged();
  }
  if (label_ != label) {
    label_ = label;
    emit labelChanged();
  }
}

void LoginStartup::setEnabled(bool on) {
  if (!eligible_ || preview_) return;
  const LoginStartupCommand command = LoginStartupPolicy::toggle(on, true, status(), state_);
  saveState();
  execute(command);
  refresh();
}

void LoginStartup::openSettings() {
  if (!eligible_ || preview_) return;
  try {
    posix_file::makeDirectories(setup_.autostartDirectory->toStdString());
  } catch (const std::exception& error) {  // the desktop reports a missing folder itself
    qCDebug(remindersLog) << "autostart folder not made:" << error.what() << "- opening it anyway";
  }
  setup_.openUrl(QUrl::fromLocalFile(*setup_.autostartDirectory));
}

void LoginStartup::saveState() {
  setup_.settings->setValue(LoginStartupState::settingsKey, QByteArray::fromStdString(state_.toJson()));
  setup_.settings->sync();
}

void LoginStartup::execute(LoginStartupCommand command) {
  if (!eligible_ || preview_ || command == LoginStartupCommand::none) return;
  std::optional<QString> failure;
  try {
    if (command == LoginStartupCommand::registerItem) {
      registerEntry();
    } else {
      unregisterEntry();
    }
  } catch (const std::exception& error) {
    qCDebug(remindersLog) << "autostart entry not changed:" << error.what();
    failure = QString(failureText);
  }
  if (failure_ != failure) {
    failure_ = failure;
    emit failureChanged();
  }
}

void LoginStartup::writeEntry(const std::string& contents) {
  const std::string directory = setup_.autostartDirectory->toStdString();
  posix_file::makeDirectories(directory);
  posix_file::replaceFileAt(openAutostartDirectory(directory).get(), entryName, contents);
}

void LoginStartup::registerEntry() { writeEntry(AutostartEntry::render(LoginStartupPolicy::installedPath())); }

void LoginStartup::unregisterEntry() {
  // A system-wide entry of the same name would still start us: hide it with an entry of ours.
  for (const QString& dir : setup_.systemAutostartDirectories) {
    if (present(dir.toStdString() + "/" + entryName)) {
      writeEntry(AutostartEntry::hiding());
      return;
    }
  }
  UniqueFd dir;
  try {
    dir = openAutostartDirectory(setup_.autostartDirectory->toStdString());
  } catch (const FileError& error) {
    if (error.kind() == FileErrorKind::noSuchFile) return;  // no folder, no entry
    throw;
  }
  if (::unlinkat(dir.get(), entryName, 0) != 0 && errno != ENOENT) throwFileError(FileErrorKind::unknownWrite);
  posix_file::syncDirectory(dir.get());
}

}  // namespace talvo
