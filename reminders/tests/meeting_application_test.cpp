#include "reminders/meeting_application.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

TEST(MeetingApplication, TextsAndRawValues) {
  EXPECT_EQ(message(MeetingApplication::zoom), "Похоже, начался созвон в Zoom. Не забудьте включить запись.");
  EXPECT_EQ(message(MeetingApplication::telemost), "Похоже, начался созвон в Телемост. Не забудьте включить запись.");
  EXPECT_EQ(message(MeetingApplication::yandex), "В Яндекс Браузере используется микрофон. Начался созвон?");
  EXPECT_EQ(message(MeetingApplication::edge), "В Edge используется микрофон. Начался созвон?");
  EXPECT_EQ(message(MeetingApplication::chromium), "В Chromium используется микрофон. Начался созвон?");
  EXPECT_EQ(message(MeetingApplication::firefox), "В Firefox используется микрофон. Начался созвон?");
  EXPECT_EQ(rawValue(MeetingApplication::chromium), "chromium");
  EXPECT_EQ(rawValue(MeetingApplication::firefox), "firefox");
  // The two Linux browsers come last, after Edge.
  EXPECT_EQ(allMeetingApplications[6], MeetingApplication::chromium);
  EXPECT_EQ(allMeetingApplications[7], MeetingApplication::firefox);
  for (MeetingApplication application : allMeetingApplications)
    EXPECT_EQ(meetingApplicationFromRaw(rawValue(application)), application);
  EXPECT_FALSE(meetingApplicationFromRaw("Zoom"));
  EXPECT_FALSE(meetingApplicationFromRaw(""));
}

}  // namespace
}  // namespace talvo
