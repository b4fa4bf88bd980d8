// The desktop's directory dialog as the folder setting opens it.
#include "app/models/folder_chooser.h"

#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QPushButton>
#include <QTimer>

#include "app/tests/ui_test_support.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

TEST(DialogFolderChooser, TheAcceptButtonSaysWhatThePromptSays) {
  ui_test::app();
  QString accept;
  QString button;
  QTimer::singleShot(100, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    if (dialog == nullptr) {
      if (modal != nullptr) modal->close();
      return;
    }
    accept = dialog->labelText(QFileDialog::Accept);
    if (auto* box = dialog->findChild<QDialogButtonBox*>()) {
      if (auto* open = box->button(QDialogButtonBox::Open)) button = open->text();
    }
    ui_test::saveScreenshot(dialog, QStringLiteral("folder_chooser"));
    dialog->reject();
  });
  testing::TempDirectory start;
  DialogFolderChooser chooser;
  EXPECT_EQ(chooser.choose("Выбрать", "Куда сохранять локальные записи ТАЛВО", QString::fromStdString(start.path())),
            std::nullopt);
  EXPECT_EQ(accept.toStdString(), "Выбрать");
  EXPECT_EQ(button.toStdString(), "Выбрать");
}

}  // namespace
}  // namespace talvo
