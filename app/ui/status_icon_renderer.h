#pragma once
// The tray icon's picture. Idle: the "talvo" logo, tinted for the tray's light or dark look.
// Recording: up to seven level bars and a red dot, or only the dot when the desktop asks for
// less motion or when drawing proved too slow (the shared StatusDrawingBudget). Images are
// drawn at the screen's device-pixel ratio so they stay crisp.
#include <QImage>
#include <QString>
#include <memory>
#include <span>

#include "core/system/clock.h"
#include "core/tray/status_drawing_budget.h"

namespace talvo {

struct TrayLook {
  bool dark = true;           // the tray's background is dark: draw in white
  bool reduceMotion = false;  // the desktop has animations off
  double devicePixelRatio = 1.0;
};

class StatusIconRenderer {
 public:
  static constexpr double idleSize = 19;

  // `clock` (default: the system's) times each drawing on its monotonic clock.
  explicit StatusIconRenderer(QString logoName = QStringLiteral("talvo"), std::shared_ptr<const Clock> clock = {});

  // Null when the logo cannot be loaded (the shell shows a text title instead).
  QImage image(bool recording, std::span<const float> values, const TrayLook& look);

  const StatusDrawingBudget& budget() const { return *budget_; }

 private:
  QImage idleImage(const TrayLook& look);
  QImage recordingImage(std::span<const float> values, const TrayLook& look);

  QString logoName_;
  std::shared_ptr<const Clock> clock_;
  std::shared_ptr<StatusDrawingBudget> budget_ = std::make_shared<StatusDrawingBudget>();
};

}  // namespace talvo
