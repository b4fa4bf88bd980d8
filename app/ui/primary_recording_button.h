#pragma once
// The one primary button style of the panels: full width, 50 high (44 compact), semibold 16
// (14 compact) in `canvas` on an `accent` rounded rectangle (corner 12, 10 compact), 78 %
// opaque while pressed, an optional icon before the text. A disabled button is drawn at half
// opacity.
#include <QPushButton>

namespace talvo {

class PrimaryRecordingButton : public QPushButton {
  Q_OBJECT
 public:
  explicit PrimaryRecordingButton(const QString& text, bool compact = false, QWidget* parent = nullptr);
  // "stop" and the like; empty for none.
  void setIconName(const QString& name);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  bool compact_;
  QString iconName_;
};

}  // namespace talvo
