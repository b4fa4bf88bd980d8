#include "cloud/system_trust_store.h"

#include <sys/stat.h>
#include <unistd.h>

namespace talvo {

const std::vector<std::string>& SystemTrustStore::bundleFiles() {
  static const std::vector<std::string> files = {
      "/etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Arch, Gentoo
      "/etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL, CentOS
      "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // Fedora, RHEL (the extracted form)
      "/etc/ssl/ca-bundle.pem",                             // openSUSE, SLES
      "/var/lib/ca-certificates/ca-bundle.pem",             // openSUSE (the generated form)
      "/etc/ca-certificates/extracted/tls-ca-bundle.pem",   // Arch
      "/etc/ssl/cert.pem",                                  // Alpine, Void, Arch's link
  };
  return files;
}

const std::vector<std::string>& SystemTrustStore::directories() {
  static const std::vector<std::string> folders = {
      "/etc/ssl/certs",                    // Debian, Ubuntu, openSUSE, Arch
      "/var/lib/ca-certificates/openssl",  // openSUSE
      "/etc/pki/tls/certs",                // Fedora, RHEL
  };
  return folders;
}

SystemTrustStore SystemTrustStore::locate(const std::string& root) {
  SystemTrustStore store;
  for (const auto& file : bundleFiles()) {
    struct stat info {};
    const std::string path = root + file;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        access(path.c_str(), R_OK) == 0) {
      store.bundleFile = path;
      break;
    }
  }
  for (const auto& folder : directories()) {
    struct stat info {};
    const std::string path = root + folder;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      store.directory = path;
      break;
    }
  }
  return store;
}

}  // namespace talvo
