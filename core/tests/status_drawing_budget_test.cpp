#include "core/tray/status_drawing_budget.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

TEST(StatusDrawingBudget, ThreeSlowDrawingsInARowGiveUpUntilReset) {
  StatusDrawingBudget budget;
  budget.recordDrawing(0.013);
  budget.recordDrawing(0.013);
  budget.recordDrawing(0.005);  // a fast one breaks the run
  budget.recordDrawing(0.013);
  budget.recordDrawing(0.013);
  EXPECT_FALSE(budget.unusable());
  budget.recordDrawing(0.012);  // exactly the budget is fast enough
  EXPECT_EQ(budget.slowFrames(), 0);
  for (int i = 0; i < 3; ++i) budget.recordDrawing(0.013);
  EXPECT_TRUE(budget.unusable());
  for (int i = 0; i < 100; ++i) budget.recordDrawing(i % 2 ? 0.001 : 1.0);
  EXPECT_TRUE(budget.unusable());  // fast drawings never revive it
  budget.reset();
  EXPECT_FALSE(budget.unusable());
  EXPECT_EQ(budget.slowFrames(), 0);
  budget.markUnusable();
  EXPECT_TRUE(budget.unusable());
}

}  // namespace
}  // namespace talvo
