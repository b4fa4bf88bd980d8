#pragma once
// The live sound wave of the capture panel: one capsule bar per level, side by side, each
// max(2, height × √level) tall, centred, in the accent colour. Levels that are not numbers or
// lie outside 0…1 are drawn as silence or full scale.
#include <QWidget>
#include <vector>

namespace talvo {

class RecordingWave : public QWidget {
  Q_OBJECT
 public:
  explicit RecordingWave(QWidget* parent = nullptr);
  void setValues(const std::vector<float>& values);
  const std::vector<float>& values() const { return values_; }
  QSize sizeHint() const override { return QSize(288, 44); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::vector<float> values_;
};

}  // namespace talvo
