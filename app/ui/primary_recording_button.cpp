#include "app/ui/primary_recording_button.h"

#include <QPainter>
#include <QPainterPath>

#include "app/ui/panel_style.h"
#include "app/ui/vector_icon.h"

namespace talvo {

PrimaryRecordingButton::PrimaryRecordingButton(const QString& text, bool compact, QWidget* parent)
    : QPushButton(text, parent), compact_(compact) {
  setFont(PanelStyle::font(compact ? 14 : 16, QFont::DemiBold));
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setCursor(Qt::PointingHandCursor);
}

void PrimaryRecordingButton::setIconName(const QString& name) {
  if (name == iconName_) return;
  iconName_ = name;
  update();
}

QSize PrimaryRecordingButton::sizeHint() const {
  return QSize(fontMetrics().horizontalAdvance(text()) + 48, compact_ ? 44 : 50);
}

void PrimaryRecordingButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (!isEnabled()) painter.setOpacity(0.5);
  const double radius = compact_ ? 10 : 12;
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()), radius, radius);
  painter.save();
  painter.setOpacity(painter.opacity() * (isDown() ? 0.78 : 1.0));
  painter.fillPath(shape, PanelStyle::accent);
  painter.restore();
  if (hasFocus() && property("keyboardFocus").toBool()) {  // keyboard users see where they are
    painter.setPen(QPen(PanelStyle::text, 2));
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), radius - 1, radius - 1);
  }

  painter.setFont(font());
  painter.setPen(PanelStyle::canvas);
  const int textWidth = fontMetrics().horizontalAdvance(text());
  const int iconSize = iconName_.isEmpty() ? 0 : 18;
  const int spacing = iconSize ? 8 : 0;
  const int left = (width() - textWidth - iconSize - spacing) / 2;
  if (iconSize) {
    const QImage icon = VectorIcon::image(iconName_, iconSize, PanelStyle::canvas, devicePixelRatioF());
    painter.drawImage(QPointF(left, (height() - iconSize) / 2.0), icon);
  }
  painter.drawText(QRect(left + iconSize + spacing, 0, textWidth + 2, height()), Qt::AlignVCenter | Qt::AlignLeft,
                   text());
}

}  // namespace talvo
