#include "app/ui/vector_icon.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>
#include <map>
#include <memory>

// The resources live in a static library: their initialiser must be referenced to be linked in.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

namespace talvo {
namespace {

// One parsed drawing per name; a name that failed to load stays null and is not retried.
QSvgRenderer* renderer(const QString& name) {
  static std::map<QString, std::unique_ptr<QSvgRenderer>> cache;
  static const bool initialised = (initIconResources(), true);
  (void)initialised;
  auto found = cache.find(name);
  if (found == cache.end()) {
    std::unique_ptr<QSvgRenderer> loaded;
    QFile file(QStringLiteral(":/icons/%1.svg").arg(name));
    // Bounded read: our icons are a few hundred bytes.
    if (file.open(QIODevice::ReadOnly) && file.size() <= 64 * 1024) {
      auto candidate = std::make_unique<QSvgRenderer>(file.readAll());
      if (candidate->isValid()) loaded = std::move(candidate);
    }
    found = cache.emplace(name, std::move(loaded)).first;
  }
  return found->second.get();
}

}  // namespace

bool VectorIcon::exists(const QString& name) { return renderer(name) != nullptr; }

QImage VectorIcon::image(const QString& name, double size, const QColor& color, double devicePixelRatio) {
  QSvgRenderer* svg = renderer(name);
  if (!svg || !(size > 0) || !(devicePixelRatio > 0)) return {};
  const int pixels = qMax(1, qRound(size * devicePixelRatio));
  QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  // Fit the drawing's aspect into the square, centred.
  QSizeF box = svg->defaultSize();
  if (box.isEmpty()) box = QSizeF(1, 1);
  box.scale(pixels, pixels, Qt::KeepAspectRatio);
  svg->render(&painter, QRectF(QPointF((pixels - box.width()) / 2, (pixels - box.height()) / 2), box));
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(image.rect(), color);
  painter.end();
  image.setDevicePixelRatio(devicePixelRatio);
  return image;
}

QIcon VectorIcon::icon(const QString& name, double size, const QColor& color) {
  QIcon icon;
  for (double ratio : {1.0, 2.0}) {
    const QImage drawn = image(name, size, color, ratio);
    if (!drawn.isNull()) icon.addPixmap(QPixmap::fromImage(drawn));
    QColor half = color;
    half.setAlphaF(color.alphaF() * 0.5);
    const QImage faded = image(name, size, half, ratio);
    if (!faded.isNull()) icon.addPixmap(QPixmap::fromImage(faded), QIcon::Disabled);
  }
  return icon;
}

}  // namespace talvo
