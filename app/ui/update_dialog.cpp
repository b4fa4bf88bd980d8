#include "app/ui/update_dialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/panel_style.h"

namespace talvo {

UpdateDialog::UpdateDialog(QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::WindowStaysOnTopHint),
      title_(new QLabel(this)),
      detail_(new QLabel(this)),
      progress_(new QProgressBar(this)),
      install_(new QPushButton(QStringLiteral("Установить"), this)),
      later_(new QPushButton(QStringLiteral("Позже"), this)),
      cancel_(new QPushButton(QStringLiteral("Отмена"), this)) {
  setObjectName(QStringLiteral("updateDialog"));
  setWindowTitle(QStringLiteral("Обновление TALVO"));
  setFixedWidth(320);
  using namespace PanelStyle;
  setStyleSheet(QStringLiteral("#updateDialog { background: %1; }"
                               "QLabel { color: %2; }"
                               "QLabel#detail { color: %3; }"
                               "QPushButton { border-radius: 10px; height: 36px; padding: 0 14px; font-weight: 600; }"
                               "QPushButton#install { background: %4; color: %5; }"
                               "QPushButton#later, QPushButton#cancel { background: %6; color: %2; }"
                               "QProgressBar { background: %6; border: none; border-radius: 3px; height: 6px; }"
                               "QProgressBar::chunk { background: %4; border-radius: 3px; }")
                    .arg(css(surface), css(text), css(muted), css(accent), css(canvas), css(raised)));
  setAttribute(Qt::WA_StyledBackground);
  QFont font = title_->font();
  font.setPointSizeF(font.pointSizeF() * 1.1);
  font.setWeight(QFont::DemiBold);
  title_->setFont(font);
  detail_->setObjectName(QStringLiteral("detail"));
  detail_->setWordWrap(true);
  install_->setObjectName(QStringLiteral("install"));
  later_->setObjectName(QStringLiteral("later"));
  cancel_->setObjectName(QStringLiteral("cancel"));
  cancel_->hide();
  progress_->setRange(0, 1000);
  progress_->setTextVisible(false);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(later_);
  buttons->addWidget(install_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->setSpacing(10);
  layout->addWidget(title_);
  layout->addWidget(detail_);
  layout->addWidget(progress_);
  layout->addLayout(buttons);
  connect(install_, &QPushButton::clicked, this, [this] { answer(true); });
  connect(later_, &QPushButton::clicked, this, [this] {
    if (decide_) {
      answer(false);
    } else {
      hide();  // the refusal's "Закрыть"
    }
  });
  connect(cancel_, &QPushButton::clicked, this, &UpdateDialog::cancelDownload);
}

void UpdateDialog::offer(const AppcastItem& item, std::function<void(bool)> decide, std::function<void()> cancel) {
  decide_ = std::move(decide);
  cancelDownload_ = std::move(cancel);
  later_->setText(QStringLiteral("Позже"));
  title_->setText(QStringLiteral("Доступна версия %1").arg(QString::fromStdString(item.displayVersion)));
  detail_->setText(QStringLiteral("TALVO загрузит обновление, проверит его подпись и перезапустится."));
  progress_->hide();
  cancel_->hide();
  install_->show();
  later_->show();
  adjustSize();
  show();
  raise();
  activateWindow();
}

void UpdateDialog::showProgress(double fraction) {
  detail_->setText(QStringLiteral("Загрузка обновления…"));
  install_->hide();
  later_->hide();
  progress_->show();
  cancel_->setVisible(static_cast<bool>(cancelDownload_));
  progress_->setValue(static_cast<int>(fraction * 1000));
}

void UpdateDialog::dismiss() {
  decide_ = nullptr;
  cancelDownload_ = nullptr;
  hide();
}

void UpdateDialog::showRefusal(const std::string& text) {
  decide_ = nullptr;
  cancelDownload_ = nullptr;
  title_->setText(QStringLiteral("Обновление TALVO"));
  detail_->setText(QString::fromStdString(text));
  progress_->hide();
  install_->hide();
  cancel_->hide();
  later_->setText(QStringLiteral("Закрыть"));
  later_->show();
  adjustSize();
  show();
  raise();
}

void UpdateDialog::cancelDownload() {
  auto cancel = std::move(cancelDownload_);
  cancelDownload_ = nullptr;
  hide();
  if (cancel) cancel();
}

void UpdateDialog::answer(bool install) {
  auto decide = std::move(decide_);
  decide_ = nullptr;
  if (install) {
    showProgress(0);
  } else {
    cancelDownload_ = nullptr;
    hide();
  }
  if (decide) decide(install);
}

// Closing the window before answering declines the offer; during the download it cancels.
void UpdateDialog::closeEvent(QCloseEvent* event) {
  if (decide_)
    answer(false);
  else if (cancelDownload_)
    cancelDownload();
  event->accept();
}

}  // namespace talvo
