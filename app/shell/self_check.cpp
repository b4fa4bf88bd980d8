#include "app/shell/self_check.h"

#include <openssl/x509_vfy.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QLibraryInfo>
#include <QPixmap>
#include <QPluginLoader>
#include <QScreen>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cloud/system_trust_store.h"

namespace talvo::SelfCheck {
namespace {

constexpr const char* probeIcon =
    "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'><rect width='16' height='16' fill='#d00'/></svg>";

// Loads a plugin's library with every symbol resolved, so a library it links that the system
// lacks is found now rather than on the user's desktop.
std::string loadPlugin(const QString& path) {
  QPluginLoader loader(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/" + path);
  loader.setLoadHints(QLibrary::ResolveAllSymbolsHint);
  if (!loader.load()) return path.toStdString() + ": " + loader.errorString().toStdString();
  return {};
}

std::string drawSvgIcon() {
  QTemporaryFile file(QDir::tempPath() + "/talvo-self-check-XXXXXX.svg");
  if (!file.open() || file.write(probeIcon) < 0 || !file.flush()) return "no temporary file for the SVG probe";
  if (!QImageReader(file.fileName()).canRead()) return "the SVG image format does not read an SVG file";
  const QImage image = QIcon(file.fileName()).pixmap(16, 16).toImage();
  if (image.isNull() || qRed(image.pixel(8, 8)) < 0x80) return "the SVG icon engine draws nothing";
  return {};
}

std::string loadTrustStore() {
  // A system without any store cannot speak HTTPS whichever version runs: no reason to keep the
  // new one out. A store that is there must load.
  const auto store = SystemTrustStore::locate();
  if (!store.found()) {
    std::cerr << "talvo: self-check: no certificate store in any of the known places\n";
    return {};
  }
  X509_STORE* x509 = X509_STORE_new();
  bool loaded = x509 != nullptr;
  if (loaded && store.bundleFile) loaded = X509_STORE_load_file(x509, store.bundleFile->c_str()) == 1;
  if (loaded && !store.bundleFile) loaded = X509_STORE_load_path(x509, store.directory->c_str()) == 1;
  X509_STORE_free(x509);
  if (!loaded) return "the certificate store " + store.bundleFile.value_or(*store.directory) + " does not load";
  return {};
}

// The platform the program will start on here: the one the user chose, else xcb where a display
// is at hand (the program prefers X11 even under Wayland); none to start without a display.
QByteArray displayPlatform() {
  const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
  if (!chosen.isEmpty()) return chosen == "offscreen" || chosen == "minimal" ? QByteArray() : chosen;
  return qEnvironmentVariableIsEmpty("DISPLAY") ? QByteArray() : QByteArray("xcb");
}

// Starts that platform for real in a child process, before this one picks offscreen: the plugin
// connects to the display, and a plugin that cannot (or a display that refuses) ends the child
// with Qt's own message on standard error.
std::string startDisplayPlatform(int argc, char** argv) {
  const QByteArray platform = displayPlatform();
  if (platform.isEmpty()) return {};
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return "no process to start the " + platform.toStdString() + " platform in";
  if (child == 0) {
    alarm(30);  // a display that never answers ends the child too
    // A platform that cannot start aborts (Qt's fatal message): an expected end, no core file.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    qputenv("QT_QPA_PLATFORM", platform);
    int status = 2;
    {
      QGuiApplication application(argc, argv);
      if (QGuiApplication::primaryScreen() != nullptr) status = 0;
    }
    std::fflush(nullptr);
    _exit(status);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  return "the " + platform.toStdString() + " platform plugin does not start on this display";
}

}  // namespace

int run(int argc, char** argv, const char* version) {
  std::vector<std::string> failures;
  if (auto failure = startDisplayPlatform(argc, argv); !failure.empty()) failures.push_back(failure);
  // Offscreen: the platform plugin loads for real without a display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  for (const char* plugin : {"platforms/libqxcb.so", "iconengines/libqsvgicon.so", "imageformats/libqsvg.so"})
    if (auto failure = loadPlugin(QString::fromLatin1(plugin)); !failure.empty()) failures.push_back(failure);
  if (auto failure = drawSvgIcon(); !failure.empty()) failures.push_back(failure);
  if (auto failure = loadTrustStore(); !failure.empty()) failures.push_back(failure);
  for (const auto& failure : failures) std::cerr << "talvo: self-check: " << failure << "\n";
  if (!failures.empty()) return 1;
  std::cout << version << "\n";
  return 0;
}

}  // namespace talvo::SelfCheck
