#include "app/ui/status_icon_renderer.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "app/tests/ui_test_support.h"

namespace talvo {
namespace {

// The painted height of a column: the sum of its pixels' coverage, in device pixels.
double columnCoverage(const QImage& image, int x) {
  double sum = 0;
  for (int y = 0; y < image.height(); ++y) sum += qAlpha(image.pixel(x, y)) / 255.0;
  return sum;
}

// Centre column of bar `i` at `scale`.
int barColumn(int i, double scale) { return static_cast<int>((3.1 * i + 1.05) * scale); }

bool isRed(QRgb pixel) { return qRed(pixel) > 200 && qGreen(pixel) < 100 && qAlpha(pixel) > 200; }

// A clock that moves only while the renderer draws: each drawing reads it twice, at its start
// and its end, and the n-th drawing takes drawingSeconds[n].
class DrawingClock final : public Clock {
 public:
  explicit DrawingClock(std::vector<double> drawingSeconds) : drawingSeconds_(std::move(drawingSeconds)) {}
  double monotonicSeconds() const override {
    const std::size_t drawing = reads_ / 2;
    if (reads_++ % 2 == 1 && drawing < drawingSeconds_.size()) now_ += drawingSeconds_[drawing];
    return now_;
  }
  double bootSeconds() const override { return now_; }
  WallTime wallTime() const override { return Clock::system()->wallTime(); }

 private:
  std::vector<double> drawingSeconds_;
  mutable std::size_t reads_ = 0;
  mutable double now_ = 0;
};

TEST(StatusIconRenderer, BarsFollowTheLevelGeometryAtBothScales) {
  ui_test::app();
  StatusIconRenderer renderer;
  const std::vector<float> values{
      0.25f, 0.0f, -1.0f, 4.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1.0f};
  const QImage one = renderer.image(true, values, TrayLook{true, false, 1.0});
  ASSERT_EQ(one.size(), QSize(30, 18));
  EXPECT_NEAR(columnCoverage(one, barColumn(0, 1)), 7.5, 0.5);
  EXPECT_NEAR(columnCoverage(one, barColumn(1, 1)), 2.0, 0.5);
  EXPECT_NEAR(columnCoverage(one, barColumn(2, 1)), 2.0, 0.5);   // negative
  EXPECT_NEAR(columnCoverage(one, barColumn(3, 1)), 15.0, 0.5);  // above full scale
  EXPECT_NEAR(columnCoverage(one, barColumn(4, 1)), 2.0, 0.5);   // not a number
  EXPECT_NEAR(columnCoverage(one, barColumn(5, 1)), 2.0, 0.5);   // infinite
  // Dark tray: white bars; the red dot at x 24…32, cut at the image's right edge.
  EXPECT_EQ(qRed(one.pixel(barColumn(3, 1), 9)), 255);
  EXPECT_EQ(qBlue(one.pixel(barColumn(3, 1), 9)), 255);
  EXPECT_TRUE(isRed(one.pixel(28, 9)));
  EXPECT_EQ(qAlpha(one.pixel(22, 9)), 0);

  const QImage two = renderer.image(true, values, TrayLook{false, false, 2.0});
  ASSERT_EQ(two.size(), QSize(60, 36));
  EXPECT_EQ(two.devicePixelRatio(), 2.0);
  EXPECT_NEAR(columnCoverage(two, barColumn(0, 2)), 15.0, 0.5);
  EXPECT_NEAR(columnCoverage(two, barColumn(3, 2)), 30.0, 0.5);
  EXPECT_EQ(qRed(two.pixel(barColumn(3, 2), 18)), 0);  // light tray: black bars
}

TEST(StatusIconRenderer, TenValuesDrawTheLastSevenAndEmptyDrawsOnlyTheDot) {
  ui_test::app();
  StatusIconRenderer renderer;
  std::vector<float> values(10, 0.0f);
  values[0] = values[1] = values[2] = 1.0f;  // the oldest three are full scale
  values[9] = 1.0f;                          // and the newest
  const QImage image = renderer.image(true, values, TrayLook{});
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(columnCoverage(image, barColumn(i, 1)), 2.0, 0.5) << i;
  EXPECT_NEAR(columnCoverage(image, barColumn(6, 1)), 15.0, 0.5);

  const QImage empty = renderer.image(true, {}, TrayLook{});
  EXPECT_EQ(empty.size(), QSize(30, 18));
  EXPECT_EQ(columnCoverage(empty, 1), 0);
  EXPECT_TRUE(isRed(empty.pixel(28, 9)));
}

TEST(StatusIconRenderer, ReducedMotionDrawsTheStaticDot) {
  ui_test::app();
  StatusIconRenderer renderer;
  const std::vector<float> values(7, 1.0f);
  const QImage dot = renderer.image(true, values, TrayLook{true, true, 1.0});
  ASSERT_EQ(dot.size(), QSize(18, 18));
  EXPECT_TRUE(isRed(dot.pixel(8, 9)));
  for (int x = 0; x < 4; ++x) EXPECT_EQ(columnCoverage(dot, x), 0) << x;
  for (int x = 12; x < 18; ++x) EXPECT_EQ(columnCoverage(dot, x), 0) << x;
  EXPECT_NEAR(columnCoverage(dot, 8), 8.0, 0.5);  // the 8-point circle
}

TEST(StatusIconRenderer, ThreeSlowDrawingsInARowFallBackToTheDotUntilTheNextRecording) {
  ui_test::app();
  const std::vector<float> values(7, 0.5f);
  {
    StatusIconRenderer renderer(QStringLiteral("talvo"),
                                std::make_shared<DrawingClock>(std::vector<double>{0.013, 0.013, 0.001, 0.013, 0.013}));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(renderer.image(true, values, {}).width(), 30) << i;  // slow, slow, fast, …
    EXPECT_FALSE(renderer.budget().unusable());
  }
  StatusIconRenderer renderer(QStringLiteral("talvo"),
                              std::make_shared<DrawingClock>(std::vector<double>{0.013, 0.013, 0.013, 0.001}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(renderer.image(true, values, {}).width(), 30) << i;
  EXPECT_TRUE(renderer.budget().unusable());
  EXPECT_EQ(renderer.image(true, values, {}).width(), 18);  // a fast drawing does not revive it
  EXPECT_EQ(renderer.image(true, values, {}).width(), 18);
  // Recording stops (idle image) and starts again: animated once more.
  EXPECT_FALSE(renderer.image(false, {}, {}).isNull());
  EXPECT_EQ(renderer.image(true, values, {}).width(), 30);
}

TEST(StatusIconRenderer, IdleLogoIsTintedAndAMissingLogoGivesNoImage) {
  ui_test::app();
  StatusIconRenderer renderer;
  const QImage dark = renderer.image(false, {}, TrayLook{true, false, 2.0});
  ASSERT_FALSE(dark.isNull());
  EXPECT_EQ(dark.size(), QSize(38, 38));
  bool anyOpaque = false;
  for (int y = 0; y < dark.height(); ++y) {
    for (int x = 0; x < dark.width(); ++x) {
      const QRgb p = dark.pixel(x, y);
      if (qAlpha(p) == 255) {
        anyOpaque = true;
        EXPECT_EQ(qRed(p), 255);
      }
    }
  }
  EXPECT_TRUE(anyOpaque);
  const QImage light = renderer.image(false, {}, TrayLook{false, false, 1.0});
  for (int y = 0; y < light.height(); ++y) {
    for (int x = 0; x < light.width(); ++x) {
      if (qAlpha(light.pixel(x, y)) == 255) {
        EXPECT_EQ(qRed(light.pixel(x, y)), 0);
      }
    }
  }
  EXPECT_TRUE(StatusIconRenderer(QStringLiteral("no-such-logo")).image(false, {}, {}).isNull());

  // For review: the tray icons at 4×, on a dark tray.
  const std::vector<float> levels{0.05f, 0.2f, 0.6f, 1.0f, 0.4f, 0.1f, 0.3f};
  auto save = [](QImage image, const char* name) {
    image.setDevicePixelRatio(1);  // saved pixel for pixel
    QImage shot(image.size(), QImage::Format_ARGB32_Premultiplied);
    shot.fill(QColor(40, 40, 40));
    QPainter(&shot).drawImage(0, 0, image);
    shot.save(ui_test::screenshotDir() + QStringLiteral("/tray-") + QLatin1String(name) + QStringLiteral(".png"));
  };
  save(renderer.image(false, {}, TrayLook{true, false, 4.0}), "idle");
  save(renderer.image(true, levels, TrayLook{true, false, 4.0}), "recording");
  save(renderer.image(true, levels, TrayLook{true, true, 4.0}), "recording-reduced-motion");
}

}  // namespace
}  // namespace talvo
