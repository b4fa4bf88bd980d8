#pragma once
// Where this system keeps the certificate authorities it trusts. The program carries its own
// libcurl and OpenSSL, whose built-in default is Debian's bundle file; other distributions keep
// theirs elsewhere, so the well-known places are tried in a fixed order: bundle files of
// Debian/Ubuntu (and Arch, Gentoo), Fedora/RHEL, openSUSE, Arch, then the hashed directories.
#include <optional>
#include <string>
#include <vector>

namespace talvo {

struct SystemTrustStore {
  std::optional<std::string> bundleFile;  // a PEM file of every trusted authority
  std::optional<std::string> directory;   // a folder of hashed certificate files

  // The bundle files and directories, in the order they are tried.
  static const std::vector<std::string>& bundleFiles();
  static const std::vector<std::string>& directories();

  // The first readable, non-empty bundle file and the first directory that exist under `root`
  // (a prefix for tests; "" is the real file system). Neither when the system has none.
  static SystemTrustStore locate(const std::string& root = "");

  bool found() const { return bundleFile.has_value() || directory.has_value(); }
};

}  // namespace talvo
