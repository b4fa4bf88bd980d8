#include "app/ui/confirmation_overlay.h"

#include <QEvent>
#include <QKeyEvent>
#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/panel_style.h"

namespace talvo {

ConfirmationOverlay::ConfirmationOverlay(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("confirmationOverlay"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(28, 28, 28, 28);
  column->setSpacing(12);
  column->addStretch();
  title_ = new QLabel;
  title_->setObjectName(QStringLiteral("overlayTitle"));
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
  connect(cancel_, &QPushButton::clicked, this, &ConfirmationOverlay::dismiss);
  parent->installEventFilter(this);  // follow the panel's size
  hide();
}

void ConfirmationOverlay::present(const QString& title, const QString& message, const QString& action,
                                  std::function<void()> onAction) {
  title_->setText(title);
  message_->setText(message);
  onAction_ = std::move(onAction);
  setGeometry(parentWidget()->rect());
  raise();
  show();
  action_->ensurePolished();  // the style sheet's font decides what fits
  action_->setText(fitted(action));
  action_->setFocus();
}

void ConfirmationOverlay::dismiss() {
  onAction_ = {};
  const bool hadFocus = isAncestorOf(QApplication::focusWidget());
  hide();
  if (hadFocus && parentWidget()) parentWidget()->setFocus();
}

bool ConfirmationOverlay::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parentWidget() && event->type() == QEvent::Resize) setGeometry(parentWidget()->rect());
  return false;
}

QString ConfirmationOverlay::fitted(const QString& text) const {
  // The button's width inside the sheet's margins, less its padding.
  const int width = parentWidget()->width() - 2 * 28 - 2 * 12 - 8;
  const QFontMetrics metrics = action_->fontMetrics();
  if (metrics.horizontalAdvance(text) <= width) return text;
  // Word by word onto as many lines as it takes (an account name must stay readable); a single
  // word wider than the button is shortened in the middle.
  QStringList lines;
  QString line;
  for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
    const QString longer = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
    if (line.isEmpty() || metrics.horizontalAdvance(longer) <= width) {
      line = longer;
    } else {
      lines << line;
      line = word;
    }
  }
  lines << line;
  for (QString& l : lines) l = metrics.elidedText(l, Qt::ElideMiddle, width);
  return lines.join(QLatin1Char('\n'));
}

void ConfirmationOverlay::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    dismiss();  // cancels the dialog, not the panel under it
    return;
  }
  QWidget::keyPressEvent(event);
}

bool ConfirmationOverlay::focusNextPrevChild(bool) {
  // Tab stays inside the dialog: its two buttons take turns.
  (action_->hasFocus() ? cancel_ : action_)->setFocus(Qt::TabFocusReason);
  return true;
}

void ConfirmationOverlay::paintEvent(QPaintEvent*) {
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
