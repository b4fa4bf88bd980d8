#include "app/ui/panel_style.h"

#include <QApplication>

namespace talvo::PanelStyle {

QFont font(int pixelSize, QFont::Weight weight) {
  QFont f = QApplication::font();  // the desktop's default family
  f.setPixelSize(pixelSize);
  f.setWeight(weight);
  return f;
}

QFont monospacedDigitsFont(int pixelSize, QFont::Weight weight) {
  // Qt 6.4 cannot switch OpenType features, but the default figures of the common desktop
  // families (DejaVu, Cantarell, Noto, Ubuntu) are tabular already; the clock label also keeps
  // a fixed width so the row never shifts.
  return font(pixelSize, weight);
}

QString css(const QColor& color, double opacity) {
  if (opacity >= 1.0) return color.name(QColor::HexRgb);
  return QStringLiteral("rgba(%1,%2,%3,%4)")
      .arg(color.red())
      .arg(color.green())
      .arg(color.blue())
      .arg(static_cast<int>(opacity * 255));
}

}  // namespace talvo::PanelStyle
