#include "reminders/meeting_catalog.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

TEST(MeetingApplication, TextsAndRawValues) {
  EXPECT_EQ(message(MeetingApplication::zoom), "Похоже, начался созвон в Zoom. Не забудьте включить запись.");
  EXPECT_EQ(message(MeetingApplication::telemost),
            "Похоже, начался созвон в Телемост. Не забудьте включить запись.");
  EXPECT_EQ(message(MeetingApplication::yandex), "В Яндекс Браузере используется микрофон. Начался созвон?");
  EXPECT_EQ(message(MeetingApplication::edge), "В Edge используется микрофон. Начался созвон?");
  for (MeetingApplication application : allMeetingApplications)
    EXPECT_EQ(meetingApplicationFromRaw(rawValue(application)), application);
  EXPECT_FALSE(meetingApplicationFromRaw("Zoom"));
  EXPECT_FALSE(meetingApplicationFromRaw(""));
}

TEST(MeetingCatalog, KnownTableAndOtherTables) {
  const auto& known = MeetingCatalog::knownApplications();
  EXPECT_EQ(known.size(), 10u);
  EXPECT_EQ(known.at("ru.yandex.desktop.yandex-browser.helper.renderer"), MeetingApplication::yandex);

  // Another platform's identities fill the same kind of table.
  MeetingCatalog linux{{{"zoom", MeetingApplication::zoom}, {"chromium", MeetingApplication::chrome}}};
  EXPECT_EQ(linux.application({10, "chromium", true}, 1), MeetingApplication::chrome);
  EXPECT_FALSE(linux.application({10, "us.zoom.xos", true}, 1));
  EXPECT_FALSE(linux.application({1, "zoom", true}, 1));
}

}  // namespace
}  // namespace talvo
