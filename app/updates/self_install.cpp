#include "app/updates/self_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "app/updates/install_tree.h"
#include "app/updates/release_manifest.h"
#include "core/system/file_error.h"
#include "core/program/native_instance_lock.h"
#include "core/program/native_product.h"
#include "core/system/posix_file.h"
#include "core/system/unique_fd.h"
#include "autostart/autostart_entry.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

const char* entryPath = "share/applications/pro.talvo.recorder.desktop";
const char* iconPath = "share/icons/hicolor/scalable/apps/pro.talvo.recorder.svg";
// The one-colour logo that tray hosts recolour for their bar; older trees lack it.
const char* symbolicIconPath = "share/icons/hicolor/symbolic/apps/pro.talvo.recorder-symbolic.svg";
const char* symbolicIconName = "pro.talvo.recorder-symbolic.svg";

std::string readSmallFile(const std::string& path, std::size_t limit) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) throw std::runtime_error("нет файла " + path);
  return posix_file::readBounded(fd.get(), limit);
}

void publish(const std::string& directory, const std::string& name, const std::string& contents) {
  posix_file::makeDirectories(directory);
  posix_file::replaceFile(directory + "/" + name, contents, 0644);
}

std::string absoluteOr(const char* variable, const std::string& fallback) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') return lexicallyNormal(value);
  return fallback;
}

}  // namespace

SelfInstall::Places SelfInstall::current() {
  Places places;
  places.dataHome = userDataDirectory();
  const char* home = std::getenv("HOME");
  places.configHome =
      absoluteOr("XDG_CONFIG_HOME",
                 home != nullptr && home[0] == '/' ? lexicallyNormal(std::string(home) + "/.config") : std::string());
  if (places.configHome.empty()) throw std::runtime_error("Не найдена домашняя папка пользователя.");
  return places;
}

std::optional<std::string> SelfInstall::menuEntry(const std::string& treeEntry, const std::string& program) {
  auto exec = AutostartEntry::execValue(program);
  if (!exec) return std::nullopt;
  std::string tryExec;  // a plain string value: only the backslash is escaped
  for (char c : program) {
    if (c == '\\') tryExec += '\\';
    tryExec += c;
  }
  std::istringstream lines(treeEntry);
  std::string line, out;
  bool hasExec = false;
  while (std::getline(lines, line)) {
    if (line.starts_with("Exec=talvo")) {
      // The program's own name becomes its installed path; arguments (the "Выйти" action's
      // --quit) stay as they are.
      const std::string arguments = line.substr(std::string_view("Exec=talvo").size());
      if (!arguments.empty() && arguments.front() != ' ') return std::nullopt;
      line = "Exec=" + *exec + arguments;
      hasExec = true;
    } else if (line.starts_with("TryExec=")) {
      line = "TryExec=" + tryExec;
    }
    out += line + "\n";
  }
  if (!hasExec) return std::nullopt;
  return out;
}

// Held while the tree changes: no instance runs from it, none starts from it meanwhile. Refused
// (none) when an instance runs.
static std::optional<NativeInstanceLock> lockInstances(const std::string& recordings) {
  std::optional<NativeInstanceLock> lock;
  if (!fs::exists(recordings)) return lock;
  lock.emplace(recordings);
  return lock;
}

int SelfInstall::install(const std::string& source, const std::string& version, const Places& places, std::ostream& out,
                         std::ostream& err) {
  const std::string folder = places.dataHome + "/" + NativeProduct::dataDirectoryName;
  const std::string root = folder + "/app";
  std::optional<NativeInstanceLock> lock;
  try {
    lock = lockInstances(folder + "/Recordings/");
  } catch (const FileError&) {
    err << "talvo: TALVO запущен. Завершите его и повторите установку.\n";
    return 1;
  }
  try {
    // Everything that could refuse is settled before the first write.
    const std::string treeEntry = readSmallFile(source + "/" + entryPath, 64 * 1024);
    const std::string icon = readSmallFile(source + "/" + iconPath, 1024 * 1024);
    std::optional<std::string> symbolicIcon;
    if (fs::exists(source + "/" + symbolicIconPath))
      symbolicIcon = readSmallFile(source + "/" + symbolicIconPath, 1024 * 1024);
    auto entry = menuEntry(treeEntry, root + "/bin/talvo");
    if (!entry) {
      err << "talvo: путь " << root << " нельзя записать в пункт меню (символ % или управляющий символ)\n";
      return 1;
    }
    InstallTree(root).installFiles(source, version);
    publish(places.dataHome + "/applications", desktopEntryName, *entry);
    publish(places.dataHome + "/icons/hicolor/scalable/apps", iconName, icon);
    if (symbolicIcon) publish(places.dataHome + "/icons/hicolor/symbolic/apps", symbolicIconName, *symbolicIcon);
  } catch (const ManifestMismatch& mismatch) {
    err << "talvo: TALVO не установлен: файлы программы в " << source << " не совпадают с её списком файлов ("
        << mismatch.what() << "). Распакуйте архив TALVO заново и повторите установку.\n";
    return 1;
  } catch (const std::exception& error) {
    err << "talvo: TALVO не установлен: " << error.what() << "\n";
    return 1;
  }
  out << "TALVO " << version << " установлен в " << root << "\n";
  return 0;
}

int SelfInstall::uninstall(const Places& places, std::ostream& out, std::ostream& err,
                           const std::function<void()>& beforeTreeRemoval) {
  const std::string folder = places.dataHome + "/" + NativeProduct::dataDirectoryName;
  const std::string recordings = folder + "/Recordings/";
  // Held until the end: no instance starts from the tree while it goes.
  std::optional<NativeInstanceLock> lock;
  try {
    lock = lockInstances(recordings);
  } catch (const FileError&) {
    err << "talvo: TALVO запущен. Завершите его и повторите удаление.\n";
    return 1;
  }
  // What points at the tree goes first: cut short here, nothing starts a half-removed tree.
  std::error_code ignored;
  fs::remove(places.configHome + "/autostart/" + desktopEntryName, ignored);
  fs::remove(places.dataHome + "/applications/" + desktopEntryName, ignored);
  fs::remove(places.dataHome + "/icons/hicolor/scalable/apps/" + iconName, ignored);
  fs::remove(places.dataHome + "/icons/hicolor/symbolic/apps/" + symbolicIconName, ignored);
  const std::string root = folder + "/app";
  if (beforeTreeRemoval) beforeTreeRemoval();
  InstallTree::uninstall(root);
  if (fs::exists(fs::symlink_status(root))) {
    err << "talvo: не удалось удалить " << root << "\n";
    return 1;
  }
  out << "TALVO удалён. Записи остались в " << recordings << "\n";
  return 0;
}

}  // namespace talvo
