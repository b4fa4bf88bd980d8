#pragma once
// The program's vector icons ("talvo", "folder", ...), compiled in as Qt resources under
// ":/icons/<name>.svg". Each file is read and parsed once per name and kept for the life of the
// process; drawings are tinted with one colour, like template images. Main thread only.
#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

namespace talvo {

class VectorIcon {
 public:
  // The icon scaled to fit a `size` × `size` square (device-independent pixels), rendered at
  // `devicePixelRatio`, every opaque pixel in `color`. A null image when no such icon exists.
  static QImage image(const QString& name, double size, const QColor& color, double devicePixelRatio = 1.0);
  // For buttons: crisp at 1× and 2×.
  static QIcon icon(const QString& name, double size, const QColor& color);
  static bool exists(const QString& name);
};

}  // namespace talvo
