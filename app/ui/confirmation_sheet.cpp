#include "app/ui/confirmation_sheet.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/panel_style.h"

namespace talvo {

ConfirmationSheet::ConfirmationSheet(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("confirmationSheet"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(28, 28, 28, 28);
  column->setSpacing(12);
  column->addStretch();
  title_ = new QLabel;
  title_->setObjectName(QStringLiteral("sheetTitle"));
  title_->setWordWrap(true);
  title_->setFont(PanelStyle::font(15, QFont::DemiBold));
  message_ = new QLabel;
  message_->setWordWrap(true);
  message_->setFont(PanelStyle::font(12));
  message_->setProperty("role", QStringLiteral("notice"));
  action_ = new QPushButton;
  action_->setProperty("kind", QStringLiteral("filled"));
  cancel_ = new QPushButton(QStringLiteral("Отмена"));
  cancel_->setProperty("kind", QStringLiteral("outline"));
  column->addWidget(title_);
  column->addWidget(message_);
  column->addWidget(action_);
  column->addWidget(cancel_);
  column->addStretch();
  connect(action_, &QPushButton::clicked, this, [this] {
    auto run = onAction_;
    dismiss();
    if (run) run();
  });
  connect(cancel_, &QPushButton::clicked, this, &ConfirmationSheet::dismiss);
  parent->installEventFilter(this);  // follow the panel's size
  hide();
}

void ConfirmationSheet::present(const QString& title, const QString& message, const QString& action,
                                std::function<void()> onAction) {
  title_->setText(title);
  message_->setText(message);
  action_->setText(action);
  onAction_ = std::move(onAction);
  setGeometry(parentWidget()->rect());
  raise();
  show();
  action_->setFocus();
}

void ConfirmationSheet::dismiss() {
  onAction_ = {};
  hide();
}

bool ConfirmationSheet::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parentWidget() && event->type() == QEvent::Resize) setGeometry(parentWidget()->rect());
  return false;
}

void ConfirmationSheet::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QColor shade = PanelStyle::surface;
  shade.setAlphaF(0.92);
  painter.fillRect(rect(), shade);
  painter.setPen(QPen(PanelStyle::raised, 1));
  painter.setBrush(PanelStyle::raised);
  painter.drawRoundedRect(QRectF(rect()).adjusted(14, 14, -14, -14), 14, 14);
}

}  // namespace talvo
