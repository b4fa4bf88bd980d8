#include "app/tray/tray_presence.h"

#include <gtest/gtest.h>

#include <QFile>

#include "app/tests/ui_test_support.h"
#include "app/ui/vector_icon.h"
#include "core/tray/ink_contrast.h"

namespace talvo {
namespace {

// The word the tray shows when the logo cannot be drawn reads at 3:1 or better on the bars it is
// drawn for: the test tray's dark blue, GNOME's near-black, and light grey and white bars.
TEST(TrayPresence, TheTextFallbackReadsOnDarkAndLightBars) {
  ui_test::app();
  struct Bar {
    QColor colour;
    bool dark;
  };
  for (const Bar& bar : {Bar{QColor(0x33, 0x55, 0x77), true}, Bar{QColor(0x1d, 0x1d, 0x1d), true},
                         Bar{QColor(0xdd, 0xdd, 0xdd), false}, Bar{QColor(Qt::white), false}}) {
    for (bool recording : {false, true}) {
      QImage image = TrayPresence::textImage(recording, bar.dark);
      // The ink: the most opaque pixel of the word.
      QColor ink;
      for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
          const QColor c = image.pixelColor(x, y);
          if (c.alpha() > ink.alpha() || !ink.isValid()) ink = c;
        }
      }
      ASSERT_EQ(ink.alpha(), 255);
      const double ratio =
          InkContrast::ratio(InkContrast::relativeLuminance(ink.red(), ink.green(), ink.blue()),
                             InkContrast::relativeLuminance(bar.colour.red(), bar.colour.green(), bar.colour.blue()));
      EXPECT_GE(ratio, 3.0) << bar.colour.name().toStdString() << (recording ? " REC" : " TALVO");
    }
  }
}

// The logo file is also the themed symbolic icon hosts recolour: drawn in the theme's text colour
// (Plasma's ColorScheme-Text class with currentColor), never a fixed black; the panel's own
// drawing of it stays solid.
TEST(TrayPresence, TheSymbolicIconTakesTheThemesTextColour) {
  ui_test::app();
  QFile file(QStringLiteral(TALVO_SOURCE_DIR "/app/icons/talvo.svg"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString svg = QString::fromUtf8(file.read(64 * 1024));
  EXPECT_TRUE(svg.contains(QStringLiteral("ColorScheme-Text")) && svg.contains(QStringLiteral("currentColor")));
  EXPECT_FALSE(svg.contains(QStringLiteral("fill=\"#000\""))) << "a fixed ink Plasma cannot recolour";
  const QImage drawn = VectorIcon::image(QStringLiteral("talvo"), 24, Qt::white, 1);
  int solid = 0;
  for (int y = 0; y < drawn.height(); ++y) {
    for (int x = 0; x < drawn.width(); ++x) solid += drawn.pixelColor(x, y).alpha() == 255;
  }
  EXPECT_GT(solid, 60) << "the logo no longer draws";
}

}  // namespace
}  // namespace talvo
