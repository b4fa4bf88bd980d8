#include "app/ui/status_icon_renderer.h"

#include <QPainter>

#include "app/ui/vector_icon.h"
#include "core/tray/recording_icon_geometry.h"

namespace talvo {
namespace {

// The desktop's "system red", as trays show recording.
const QColor systemRed{255, 59, 48};

}  // namespace

StatusIconRenderer::StatusIconRenderer(QString logoName, std::shared_ptr<const Clock> clock)
    : logoName_(std::move(logoName)), clock_(clock ? std::move(clock) : Clock::system()) {}

QImage StatusIconRenderer::image(bool recording, std::span<const float> values, const TrayLook& look) {
  return recording ? recordingImage(values, look) : idleImage(look);
}

QImage StatusIconRenderer::idleImage(const TrayLook& look) {
  budget_->reset();  // every new recording starts animated
  return VectorIcon::image(logoName_, idleSize, look.dark ? Qt::white : Qt::black, look.devicePixelRatio);
}

QImage StatusIconRenderer::recordingImage(std::span<const float> values, const TrayLook& look) {
  const bool simple = look.reduceMotion || budget_->unusable();
  const RecordingIconGeometry geometry = RecordingIconGeometry::make(values, simple);
  const double ratio = look.devicePixelRatio > 0 ? look.devicePixelRatio : 1.0;
  QImage image(qRound(geometry.size.width * ratio), qRound(geometry.size.height * ratio),
               QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(ratio);
  image.fill(Qt::transparent);

  const double started = clock_->monotonicSeconds();
  QPainter painter;
  if (!painter.begin(&image)) {
    budget_->markUnusable();  // nowhere to draw: the dot from now on
    return image;
  }
  painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  painter.setPen(Qt::NoPen);
  painter.setBrush(look.dark ? Qt::white : Qt::black);
  // The geometry is symmetric about the middle, so its y-up numbers serve this y-down painter.
  for (const ScreenRect& bar : geometry.bars) {
    painter.drawRoundedRect(QRectF(bar.x, bar.y, bar.width, bar.height), RecordingIconGeometry::barCornerRadius,
                            RecordingIconGeometry::barCornerRadius);
  }
  painter.setBrush(systemRed);
  painter.drawEllipse(QRectF(geometry.dot.x, geometry.dot.y, geometry.dot.width, geometry.dot.height));
  painter.end();
  budget_->recordDrawing(clock_->monotonicSeconds() - started);
  return image;
}

}  // namespace talvo
