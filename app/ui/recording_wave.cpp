#include "app/ui/recording_wave.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "app/ui/panel_style.h"

namespace talvo {

RecordingWave::RecordingWave(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setFixedHeight(44);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void RecordingWave::setValues(const std::vector<float>& values) {
  if (values == values_) return;
  values_ = values;
  update();
}

void RecordingWave::paintEvent(QPaintEvent*) {
  if (values_.empty()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(PanelStyle::accent);
  const double count = static_cast<double>(values_.size());
  const double spacing = 2;
  const double barWidth = std::max(1.0, (width() - spacing * (count - 1)) / count);
  for (std::size_t i = 0; i < values_.size(); ++i) {
    double v = values_[i];
    if (!std::isfinite(v)) v = 0;
    v = std::clamp(v, 0.0, 1.0);
    const double h = std::max(2.0, height() * std::sqrt(v));
    const QRectF bar(static_cast<double>(i) * (barWidth + spacing), (height() - h) / 2, barWidth, h);
    painter.drawRoundedRect(bar, barWidth / 2, barWidth / 2);
  }
}

}  // namespace talvo
