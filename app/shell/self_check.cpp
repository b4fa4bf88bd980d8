#include "app/shell/self_check.h"

#include <openssl/x509_vfy.h>

#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QLibraryInfo>
#include <QPixmap>
#include <QPluginLoader>
#include <QTemporaryFile>

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

}  // namespace

int run(int argc, char** argv, const char* version) {
  // Offscreen: the platform plugin loads for real without a display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  std::vector<std::string> failures;
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
