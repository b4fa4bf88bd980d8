#pragma once
// What the updater needs to know about this build and this installation. The updater runs only
// for a production build installed at the canonical place, with the built-in feed and a public
// key that decodes to exactly 32 bytes; anything else leaves it inert. A development build,
// which may already be pointed at a local service, updates only when TALVO_UPDATE_KEY
// gives it the key of that service's feed (the fake service prints it), so the whole update
// path of an installed release can be proven against the fake service.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/program/native_product.h"
#include "core/program/service_configuration.h"

namespace talvo {

struct UpdaterConfiguration {
  static constexpr const char* productionChannel = "production";
  static constexpr const char* developmentChannel = "development";  // a key from the environment
  static constexpr const char* feedPath = "/desktop-updates/linux.xml";

  std::string releaseChannel;    // production, development (with TALVO_UPDATE_KEY), else empty
  std::string feedUrl;           // <service origin>/desktop-updates/linux.xml
  std::string publicKey;         // Base64 of the Ed25519 public key that signs archives
  std::string currentVersion;    // the running program's version
  std::string installRoot;       // the install tree: <user data>/TALVO/app
  std::string executable;        // real path of the running program
  std::string installedProgram;  // canonicalInstalledProgram(): the installed program's real path
  std::string architecture = NativeProduct::architecture;  // only this architecture's releases
  std::string relaunchShell = "/bin/sh";                   // runs the waiter that relaunches
  ServiceConfiguration service;                            // where archives may come from

  // This build and this process on `service`: TALVO_VERSION, the build's key (or in a development
  // build TALVO_UPDATE_KEY), /proc/self/exe.
  static UpdaterConfiguration current(const ServiceConfiguration& service);

  // The decoded public key, when it is Base64 of exactly 32 bytes.
  std::optional<std::array<std::uint8_t, 32>> publicKeyBytes() const;
  // Production channel (or development with a key given), the built-in feed, a usable key, and the running program is
  // the installed one (both real paths: a home reached through a link is the same home).
  bool valid() const { return !whyInert(); }
  // Why the updater stays off, in words for the log; none when it may run.
  std::optional<std::string> whyInert() const;
};

}  // namespace talvo
