#include "app/ui/meeting_reminder_view.h"

#include <gtest/gtest.h>

#include <QString>

#include "reminders/meeting_application.h"

namespace talvo {
namespace {

TEST(MeetingReminderView, DetailTextPerApplication) {
  EXPECT_EQ(MeetingReminderView::detailText(MeetingApplication::zoom),
            QStringLiteral("Похоже, начался созвон в Zoom."));
  EXPECT_EQ(MeetingReminderView::detailText(MeetingApplication::telemost),
            QStringLiteral("Похоже, начался созвон в Телемост."));
  EXPECT_EQ(MeetingReminderView::detailText(MeetingApplication::yandex),
            QStringLiteral("В Яндекс Браузере используется микрофон."));
  EXPECT_EQ(MeetingReminderView::detailText(MeetingApplication::chrome),
            QStringLiteral("В Chrome используется микрофон."));
  EXPECT_EQ(MeetingReminderView::detailText(MeetingApplication::safari),
            QStringLiteral("В Safari используется микрофон."));
  EXPECT_EQ(MeetingReminderView::detailText(MeetingApplication::edge), QStringLiteral("В Edge используется микрофон."));
  // The Linux browsers, once the catalog knows them.
  for (const char* raw : {"chromium", "firefox"}) {
    if (auto application = meetingApplicationFromRaw(raw)) {
      const QString name =
          QString::fromUtf8(displayName(*application).data(), qsizetype(displayName(*application).size()));
      EXPECT_EQ(MeetingReminderView::detailText(*application), QStringLiteral("В %1 используется микрофон.").arg(name));
    }
  }
}

}  // namespace
}  // namespace talvo
