#include "core/tray/status_drawing_budget.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace talvo {
namespace {

// The renderer resets the budget on the interface thread while images draw elsewhere.
TEST(StatusDrawingBudgetConcurrency, SharedBetweenRendererAndDrawingThreads) {
  StatusDrawingBudget budget;
  std::vector<std::thread> drawers;
  for (int t = 0; t < 4; ++t) {
    drawers.emplace_back([&budget, t] {
      for (int i = 0; i < 20000; ++i) {
        budget.recordDrawing((i + t) % 3 == 0 ? 0.001 : 0.02);
        if (i % 1000 == 0) budget.markUnusable();
        (void)budget.unusable();
      }
    });
  }
  for (int i = 0; i < 2000; ++i) budget.reset();
  for (auto& drawer : drawers) drawer.join();
  EXPECT_LE(budget.slowFrames(), StatusDrawingBudget::slowFramesAllowed + 1);
  budget.reset();
  EXPECT_FALSE(budget.unusable());
}

}  // namespace
}  // namespace talvo
