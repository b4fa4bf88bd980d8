#pragma once
// The web library of the service and its one-time sign-in (hand-off) addresses. A hand-off
// address is the library address, "#handoff=", and the unpadded URL-safe Base64 form of exactly
// 32 bytes (43 characters, canonical). The cloud client trusts a library link only if it has
// this form; nothing here touches the network.
#include <optional>
#include <string>
#include <string_view>

#include "core/program/service_configuration.h"
#include "core/values/url.h"

namespace talvo {

struct DesktopWebDestination {
  DesktopWebDestination() = delete;

  // The service origin followed by "/library/".
  static Url library(const ServiceConfiguration& configuration);

  // `text` itself when it is a valid hand-off address into the library at `libraryAddress` (its
  // text, e.g. "https://host/library/"), otherwise none.
  static std::optional<Url> libraryHandoff(std::string_view text, std::string_view libraryAddress);
};

}  // namespace talvo
