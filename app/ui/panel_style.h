#pragma once
// The panels' palette (opaque sRGB) and their type: the desktop's default font family at the
// given sizes in device-independent pixels.
#include <QColor>
#include <QFont>

namespace talvo::PanelStyle {

inline const QColor canvas{11, 16, 24};        // text on the accent button
inline const QColor surface{21, 29, 41};       // panel background
inline const QColor raised{32, 43, 59};        // separators, raised rows
inline const QColor text{243, 246, 251};       // primary text
inline const QColor muted{175, 188, 203};      // notices and secondary text
inline const QColor accent{167, 165, 255};     // buttons, icons, wave bars
inline const QColor recording{233, 107, 116};  // recording dot

QFont font(int pixelSize, QFont::Weight weight = QFont::Normal);
// The same with digits of equal width, so a running clock does not jitter.
QFont monospacedDigitsFont(int pixelSize, QFont::Weight weight);
// "#rrggbb" for style sheets.
QString css(const QColor& color, double opacity = 1.0);

}  // namespace talvo::PanelStyle
