#include "app/ui/meeting_reminder_panel.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "app/tests/ui_test_support.h"
#include "app/ui/meeting_reminder_view.h"
#include "app/tray/tray_anchor_lookup.h"

namespace talvo {
namespace {

using ui_test::settle;
using ui_test::waitUntil;

struct Shell {
  bool busy = false;
  bool anchored = true;
  int mainClosed = 0;
  int opened = 0;
  int started = 0;
  std::vector<std::string> order;

  MeetingReminderPanel::Hooks hooks() {
    return {[this] { return busy; },
            [this]() -> std::optional<TrayAnchor> {
              if (!anchored) return std::nullopt;
              return TrayAnchorLookup::reminderFallback(nullptr);
            },
            [this] { ++mainClosed; },
            [this] {
              ++opened;
              order.push_back("open");
            },
            [this] {
              ++started;
              order.push_back("start");
            }};
  }
};

QPushButton* button(MeetingReminderPanel& reminder, const QString& text) {
  if (!reminder.panel()) return nullptr;
  for (auto* b : reminder.panel()->window()->findChildren<QPushButton*>()) {
    if (b->text() == text) return b;
  }
  return nullptr;
}

class ReminderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::app();
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs the test display";
  }
  Shell shell;
};

TEST_F(ReminderTest, ShowsWithoutFocusAndLaterCloses) {
  MeetingReminderPanel reminder(shell.hooks());
  reminder.show(MeetingApplication::zoom);
  ASSERT_TRUE(reminder.panel());
  EXPECT_TRUE(reminder.panel()->isVisible());
  EXPECT_EQ(shell.mainClosed, 1);  // never beside the main panel
  EXPECT_EQ(reminder.panel()->window()->width(), 360);
  settle(100);
  EXPECT_FALSE(reminder.panel()->window()->isActiveWindow());
  ui_test::saveScreenshot(reminder.panel()->window(), QStringLiteral("reminder-zoom"));

  button(reminder, QStringLiteral("Позже"))->click();
  EXPECT_TRUE(waitUntil([&] { return reminder.panel() == nullptr; }));
  EXPECT_EQ(shell.opened, 0);
  EXPECT_EQ(shell.started, 0);
}

TEST_F(ReminderTest, RecordOpensTheMainPanelAndStartsOnlyWhenCaptureIsFree) {
  MeetingReminderPanel reminder(shell.hooks());
  reminder.show(MeetingApplication::chrome);
  button(reminder, QStringLiteral("Начать запись"))->click();
  EXPECT_TRUE(waitUntil([&] { return reminder.panel() == nullptr; }));
  EXPECT_EQ(shell.order, (std::vector<std::string>{"open", "start"}));

  // A recording began starting meanwhile: the reminder closes, nothing else happens.
  reminder.show(MeetingApplication::chrome);
  shell.busy = true;
  reminder.accept();
  EXPECT_EQ(reminder.panel(), nullptr);
  EXPECT_EQ(shell.started, 1);
  EXPECT_EQ(shell.opened, 1);

  // Hidden by the system before the press: just closes.
  shell.busy = false;
  reminder.show(MeetingApplication::chrome);
  reminder.panel()->window()->hide();
  reminder.accept();
  EXPECT_EQ(reminder.panel(), nullptr);
  EXPECT_EQ(shell.started, 1);
}

TEST_F(ReminderTest, DroppedWhileBusyOrWithoutAnchorAndDismissedAfterItsTime) {
  MeetingReminderPanel reminder(shell.hooks(), std::chrono::milliseconds(300));
  // A coarse timer may fire 5 % (1.5 s of 30) late.
  const auto* dismissal = reminder.findChild<QTimer*>(QStringLiteral("dismissal"));
  ASSERT_NE(dismissal, nullptr);
  EXPECT_EQ(dismissal->timerType(), Qt::PreciseTimer);
  shell.busy = true;
  reminder.show(MeetingApplication::zoom);
  EXPECT_EQ(reminder.panel(), nullptr);
  shell.busy = false;
  shell.anchored = false;
  reminder.show(MeetingApplication::zoom);
  EXPECT_EQ(reminder.panel(), nullptr);
  EXPECT_EQ(shell.mainClosed, 0);

  shell.anchored = true;
  reminder.show(MeetingApplication::telemost);
  ASSERT_TRUE(reminder.panel());
  // A second reminder replaces the first.
  reminder.show(MeetingApplication::yandex);
  ASSERT_TRUE(reminder.panel());
  EXPECT_EQ(reminder.panel()->window()->findChild<QLabel*>(QStringLiteral("detail"))->text(),
            QStringLiteral("В Яндекс Браузере используется микрофон."));
  EXPECT_TRUE(waitUntil([&] { return reminder.panel() == nullptr; }, 2000));
  EXPECT_EQ(shell.started, 0);
}

}  // namespace
}  // namespace talvo
