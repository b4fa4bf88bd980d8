// The install dialog: one answer per offer, closing it declines, progress replaces the buttons.
#include "app/ui/update_dialog.h"

#include <gtest/gtest.h>

#include <QProgressBar>
#include <QPushButton>

#include "app/tests/ui_test_support.h"

namespace talvo {
namespace {

AppcastItem release() { return {"1.4.0", "1.4.0", "https://talvo.pro/desktop-downloads/x.tar.gz", 1, "", "x86_64"}; }

TEST(UpdateDialog, InstallAnswersOnceAndShowsProgress) {
  ui_test::app();
  UpdateDialog dialog;
  std::vector<bool> answers;
  dialog.offer(
      release(), [&](bool install) { answers.push_back(install); }, [] {});
  ASSERT_TRUE(ui_test::waitUntil([&] { return dialog.isVisible(); }));
  ui_test::saveScreenshot(&dialog, QStringLiteral("update_dialog_offer"));
  auto* install = dialog.findChild<QPushButton*>(QStringLiteral("install"));
  ASSERT_NE(install, nullptr);
  install->click();
  install->click();  // a second click (the button is gone by then) answers nothing more
  EXPECT_EQ(answers, std::vector<bool>{true});
  dialog.showProgress(0.42);
  auto* progress = dialog.findChild<QProgressBar*>();
  ASSERT_NE(progress, nullptr);
  EXPECT_TRUE(progress->isVisible());
  EXPECT_FALSE(install->isVisible());
  EXPECT_EQ(progress->value(), 420);
  ui_test::saveScreenshot(&dialog, QStringLiteral("update_dialog_progress"));
  dialog.dismiss();
  EXPECT_FALSE(dialog.isVisible());
}

TEST(UpdateDialog, CancelDuringTheDownloadAndRefusalsToRead) {
  ui_test::app();
  UpdateDialog dialog;
  int cancels = 0;
  dialog.offer(
      release(), [](bool) {}, [&] { ++cancels; });
  auto* cancel = dialog.findChild<QPushButton*>(QStringLiteral("cancel"));
  ASSERT_NE(cancel, nullptr);
  EXPECT_FALSE(cancel->isVisible());  // nothing to cancel before the answer
  dialog.findChild<QPushButton*>(QStringLiteral("install"))->click();
  dialog.showProgress(0.3);
  EXPECT_TRUE(cancel->isVisible());
  EXPECT_EQ(cancel->text(), QString("Отмена"));
  ui_test::saveScreenshot(&dialog, QStringLiteral("update_dialog_progress_cancel"));
  cancel->click();
  EXPECT_EQ(cancels, 1);
  EXPECT_FALSE(dialog.isVisible());
  // Closing the window during a download cancels it too; once dismissed, nothing is owed.
  dialog.offer(
      release(), [](bool) {}, [&] { ++cancels; });
  dialog.findChild<QPushButton*>(QStringLiteral("install"))->click();
  dialog.close();
  EXPECT_EQ(cancels, 2);
  dialog.showRefusal("Не удалось проверить адрес обновления TALVO.");
  ASSERT_TRUE(ui_test::waitUntil([&] { return dialog.isVisible(); }));
  EXPECT_FALSE(cancel->isVisible());
  ui_test::saveScreenshot(&dialog, QStringLiteral("update_dialog_refusal"));
  auto* close = dialog.findChild<QPushButton*>(QStringLiteral("later"));
  EXPECT_EQ(close->text(), QString("Закрыть"));
  close->click();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(cancels, 2);
}

TEST(UpdateDialog, LaterOrClosingTheWindowDeclines) {
  ui_test::app();
  UpdateDialog dialog;
  std::vector<bool> answers;
  dialog.offer(
      release(), [&](bool install) { answers.push_back(install); }, [] {});
  dialog.findChild<QPushButton*>(QStringLiteral("later"))->click();
  EXPECT_EQ(answers, std::vector<bool>{false});
  EXPECT_FALSE(dialog.isVisible());
  dialog.offer(
      release(), [&](bool install) { answers.push_back(install); }, [] {});
  dialog.close();
  EXPECT_EQ(answers, (std::vector<bool>{false, false}));
  // Dismissed by the updater (the cycle ended elsewhere): no answer is owed any more.
  dialog.offer(
      release(), [&](bool install) { answers.push_back(install); }, [] {});
  dialog.dismiss();
  dialog.close();
  EXPECT_EQ(answers.size(), 2u);
}

}  // namespace
}  // namespace talvo
