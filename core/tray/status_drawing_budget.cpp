#include "core/tray/status_drawing_budget.h"

namespace talvo {

void StatusDrawingBudget::reset() {
  std::lock_guard guard(lock_);
  slowFrames_ = 0;
  unusable_ = false;
}

bool StatusDrawingBudget::unusable() const {
  std::lock_guard guard(lock_);
  return unusable_;
}

void StatusDrawingBudget::markUnusable() {
  std::lock_guard guard(lock_);
  unusable_ = true;
}

void StatusDrawingBudget::recordDrawing(double seconds) {
  std::lock_guard guard(lock_);
  if (seconds > frameBudget) {
    if (slowFrames_ <= slowFramesAllowed) ++slowFrames_;  // a long recording must not overflow it
    if (slowFrames_ > slowFramesAllowed) unusable_ = true;
  } else {
    slowFrames_ = 0;
  }
}

int StatusDrawingBudget::slowFrames() const {
  std::lock_guard guard(lock_);
  return slowFrames_;
}

}  // namespace talvo
