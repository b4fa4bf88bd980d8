#pragma once
// The small dark window of a user-started update: it offers the found version, then shows the
// download's progress with "Отмена" until the updater dismisses it; or it shows why an update
// was refused. The panels' style; the updater sees it only as its user driver.
#include <QWidget>

#include <functional>

#include "app/updates/update_user_driver.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace talvo {

class UpdateDialog : public QWidget, public UpdateUserDriver {
  Q_OBJECT

 public:
  explicit UpdateDialog(QWidget* parent = nullptr);

  void offer(const AppcastItem& item, std::function<void(bool install)> decide, std::function<void()> cancel) override;
  void showProgress(double fraction) override;
  void dismiss() override;
  void showRefusal(const std::string& text) override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void answer(bool install);
  void cancelDownload();

  QLabel* title_;
  QLabel* detail_;
  QProgressBar* progress_;
  QPushButton* install_;
  QPushButton* later_;
  QPushButton* cancel_;
  std::function<void(bool)> decide_;
  std::function<void()> cancelDownload_;  // set while a download runs
};

}  // namespace talvo
