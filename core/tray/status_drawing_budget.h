#pragma once
// The tray icon is redrawn many times a second while recording. Its drawing measures itself;
// after three consecutive drawings over 12 ms, or a drawing that had nowhere to draw, animated
// drawing is given up for the rest of the recording and the icon becomes a static dot. Drawing
// may happen on whichever thread the toolkit chooses, so the state is shared under a lock.
#include <mutex>

namespace talvo {

class StatusDrawingBudget {
 public:
  static constexpr double frameBudget = 0.012;  // seconds per drawing
  static constexpr int slowFramesAllowed = 2;   // the third slow drawing in a row gives up

  // A new recording starts animated again.
  void reset();
  // Animated drawing has been given up.
  bool unusable() const;
  // Drawing had no surface to draw on.
  void markUnusable();
  // One drawing took `seconds`. A fast one breaks a run of slow ones but never revives an
  // unusable budget.
  void recordDrawing(double seconds);

  int slowFrames() const;

 private:
  mutable std::mutex lock_;
  int slowFrames_ = 0;
  bool unusable_ = false;
};

}  // namespace talvo
