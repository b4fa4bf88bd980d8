#include "reminders/meeting_catalog.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace talvo {
namespace {

TEST(MeetingCatalog, KnowsLinuxExecutablesAndFlatpakIds) {
  const MeetingCatalog catalog{MeetingCatalog::knownApplications()};
  const std::vector<std::pair<const char*, MeetingApplication>> expected = {
      {"zoom", MeetingApplication::zoom},
      {"zoom.real", MeetingApplication::zoom},
      {"us.zoom.Zoom", MeetingApplication::zoom},
      {"yandex_browser", MeetingApplication::yandex},
      {"ru.yandex.Browser", MeetingApplication::yandex},
      {"chrome", MeetingApplication::chrome},
      {"com.google.Chrome", MeetingApplication::chrome},
      {"msedge", MeetingApplication::edge},
      {"com.microsoft.Edge", MeetingApplication::edge},
      {"chromium", MeetingApplication::chromium},
      {"chromium-browser", MeetingApplication::chromium},
      {"org.chromium.Chromium", MeetingApplication::chromium},
      {"firefox", MeetingApplication::firefox},
      {"firefox-esr", MeetingApplication::firefox},
      {"org.mozilla.firefox", MeetingApplication::firefox},
  };
  EXPECT_EQ(catalog.applications.size(), expected.size());
  for (const auto& [identity, application] : expected)
    EXPECT_EQ(catalog.application({10, identity, true}, 1), application) << identity;
  // Identities that must never match: the application name every Electron program reports, the
  // macOS bundle identifiers, case variants, and ourselves.
  for (const char* identity : {"Chromium", "us.zoom.xos", "com.apple.Safari", "Firefox", "telemost", "safari",
                               "pro.talvo.recorder", "pro.talvo.recorder.firefox"})
    EXPECT_FALSE(catalog.application({10, identity, true}, 1)) << identity;
  EXPECT_FALSE(catalog.application({1, "zoom", true}, 1));
  EXPECT_FALSE(catalog.application({10, "zoom", false}, 1));
}

}  // namespace
}  // namespace talvo
