// talvo-update-fetch ORIGIN CA-FILE PUBLIC-KEY DIRECTORY
//
// The updater's download path as one process, for timing against curl + sha256sum: reads the
// feed at ORIGIN, takes its newest release, streams the archive into an anonymous file in
// DIRECTORY and verifies length, SHA-256 and Ed25519 signature. Prints the archive size and how
// much the resident memory grew while doing it (peak minus the resident size before).
#include <fstream>
#include <iostream>
#include <string>

#include "app/updates/appcast_feed.h"
#include "app/updates/archive_download.h"
#include "cloud/bounded_desktop_transport.h"
#include "core/values/base64.h"
#include "core/program/native_product.h"

namespace {

long statusKib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: talvo-update-fetch ORIGIN CA-FILE PUBLIC-KEY DIRECTORY\n";
    return 2;
  }
  try {
    talvo::BoundedDesktopTransport::Options options;
    options.caFile = argv[2];
    talvo::BoundedDesktopTransport transport(options);
    talvo::HttpRequest request;
    request.url = std::string(argv[1]) + "/desktop-updates/linux.xml";
    auto item = talvo::AppcastFeed::newest(talvo::AppcastFeed::parse(transport.send(request).body), "0.0.0",
                                           talvo::NativeProduct::architecture);
    if (!item) throw std::runtime_error("no release in the feed");
    auto key = talvo::decodeBase64(argv[3]);
    if (!key || key->size() != 32) throw std::runtime_error("public key is not 32 bytes of Base64");
    talvo::ArchiveDownload::PublicKey publicKey{};
    std::copy(key->begin(), key->end(), publicKey.begin());
    const long before = statusKib("VmRSS");
    auto file = talvo::ArchiveDownload::fetch(transport, *item, publicKey, argv[4]);
    const long peak = statusKib("VmHWM");
    std::cout << "verified " << item->length << " bytes; resident growth " << (peak - before) << " KiB (RssAnon now "
              << statusKib("RssAnon") << " KiB)\n";
  } catch (const std::exception& error) {
    std::cerr << "talvo-update-fetch: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
