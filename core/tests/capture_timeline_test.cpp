#include "core/recording/capture_timeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace talvo {
namespace {

constexpr auto computer = CaptureSource::computer;
constexpr auto microphone = CaptureSource::microphone;

std::vector<float> filled(std::size_t count, float value) { return std::vector<float>(count, value); }

TEST(CaptureTimeline, DrainWithoutDataIsSilenceMissingFromBoth) {
  CaptureTimeline timeline;
  auto out = timeline.drain(1000);
  EXPECT_EQ(out, std::vector<std::int16_t>(1000, 0));
  EXPECT_EQ(timeline.cursor(), 1000);
  EXPECT_EQ(timeline.missing(computer), 1000);
  EXPECT_EQ(timeline.missing(microphone), 1000);
  EXPECT_EQ(timeline.delivered(computer), 0);
  EXPECT_TRUE(timeline.drain(1000).empty());
  EXPECT_TRUE(timeline.drain(-5).empty());
  EXPECT_TRUE(timeline.drain(std::numeric_limits<std::int64_t>::min()).empty());
  EXPECT_EQ(timeline.cursor(), 1000);
}

TEST(CaptureTimeline, MixIsHalfGainRoundedAwayFromZeroAndClippedSymmetrically) {
  struct Case {
    float computer;
    std::optional<float> microphone;
    std::int16_t expected;
  };
  const Case cases[] = {
      {1.0f, std::nullopt, 16384},  // 16383.5 rounds away from zero
      {-1.0f, std::nullopt, -16384},
      {1.0f, 1.0f, 32767},
      {-1.0f, -1.0f, -32767},
      {1.5f, 1.5f, 32767},
      {-1.5f, -1.5f, -32767},  // never -32768
      {0.25f, -0.25f, 0},
      {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(), 32767},
      {-std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(), -32767},
  };
  for (const auto& c : cases) {
    CaptureTimeline timeline;
    timeline.ingest(computer, 0, std::vector<float>{c.computer});
    if (c.microphone) timeline.ingest(microphone, 0, std::vector<float>{*c.microphone});
    EXPECT_EQ(timeline.drain(1), std::vector<std::int16_t>{c.expected}) << c.computer;
  }
}

TEST(CaptureTimeline, NonFiniteSamplesAreSilenceButDelivered) {
  CaptureTimeline timeline;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  timeline.ingest(computer, 0, std::vector<float>{nan, inf, -inf});
  timeline.ingest(microphone, 0, std::vector<float>{1.0f, 1.0f, 1.0f});
  EXPECT_EQ(timeline.delivered(computer), 3);
  EXPECT_EQ(timeline.drain(3), (std::vector<std::int16_t>{16384, 16384, 16384}));
  EXPECT_EQ(timeline.missing(computer), 0);
}

TEST(CaptureTimeline, InterleavedSourcesAlignByPositionNotArrival) {
  CaptureTimeline timeline;
  // The microphone runs 100 frames ahead of the computer; blocks arrive alternately.
  for (int block = 0; block < 10; ++block) {
    timeline.ingest(microphone, 100 + block * 160, filled(160, 0.5f));
    timeline.ingest(computer, block * 160, filled(160, 0.5f));
  }
  auto out = timeline.drain(1700);
  ASSERT_EQ(out.size(), 1700u);
  // 0..99: computer only; 100..1599 both; 1600..1699 microphone only.
  EXPECT_EQ(out[0], 8192);
  EXPECT_EQ(out[99], 8192);
  EXPECT_EQ(out[100], 16384);
  EXPECT_EQ(out[1599], 16384);
  EXPECT_EQ(out[1600], 8192);
  EXPECT_EQ(timeline.delivered(computer), 1600);
  EXPECT_EQ(timeline.delivered(microphone), 1600);
  EXPECT_EQ(timeline.missing(computer), 100);
  EXPECT_EQ(timeline.missing(microphone), 100);
  EXPECT_EQ(timeline.late(computer) + timeline.late(microphone), 0);
}

TEST(CaptureTimeline, OverlappingBlocksOverwriteWithoutCountingTwice) {
  CaptureTimeline timeline;
  timeline.ingest(computer, 0, filled(100, 0.2f));
  timeline.ingest(computer, 50, filled(100, 1.0f));  // overlaps 50..99
  EXPECT_EQ(timeline.delivered(computer), 150);
  auto out = timeline.drain(150);
  EXPECT_EQ(out[49], 3277);  // 0.1 × 32767 = 3276.7
  EXPECT_EQ(out[50], 16384);
  EXPECT_EQ(timeline.missing(computer), 0);
}

TEST(CaptureTimeline, LateBlockKeepsOnlyItsPartAfterTheCursor) {
  CaptureTimeline timeline;
  timeline.drain(100);
  timeline.ingest(computer, 40, filled(100, 1.0f));  // 40..99 already emitted
  EXPECT_EQ(timeline.late(computer), 60);
  EXPECT_EQ(timeline.delivered(computer), 40);
  auto out = timeline.drain(150);
  EXPECT_EQ(out[0], 16384);
  EXPECT_EQ(out[39], 16384);
  EXPECT_EQ(out[40], 0);
  // A block that ends exactly at the cursor is wholly late.
  timeline.ingest(microphone, 50, filled(100, 1.0f));
  EXPECT_EQ(timeline.late(microphone), 100);
  EXPECT_EQ(timeline.delivered(microphone), 0);
}

TEST(CaptureTimeline, FarEarlyBlocksAreDroppedAndNeverLeakIntoLaterOutput) {
  CaptureTimeline timeline;
  timeline.ingest(computer, CaptureTimeline::capacity, filled(10, 1.0f));
  EXPECT_EQ(timeline.late(computer), 10);
  // A block straddling the end of the window keeps its first part only.
  timeline.ingest(microphone, CaptureTimeline::capacity - 4, filled(10, 1.0f));
  EXPECT_EQ(timeline.late(microphone), 6);
  EXPECT_EQ(timeline.delivered(microphone), 4);
  // Extreme positions are counted, not overflowed.
  timeline.ingest(computer, std::numeric_limits<std::int64_t>::max() - 2, filled(5, 1.0f));
  timeline.ingest(computer, std::numeric_limits<std::int64_t>::min(), filled(5, 1.0f));
  EXPECT_EQ(timeline.late(computer), 20);
  EXPECT_EQ(timeline.delivered(computer), 0);

  // Draining past the window: the dropped slot 0 of computer must stay silent at 128000.
  std::vector<std::int16_t> all;
  while (timeline.cursor() < CaptureTimeline::capacity + 10) {
    auto part = timeline.drain(CaptureTimeline::capacity + 10);
    all.insert(all.end(), part.begin(), part.end());
  }
  ASSERT_EQ(all.size(), static_cast<std::size_t>(CaptureTimeline::capacity + 10));
  for (std::int64_t p = CaptureTimeline::capacity - 4; p < CaptureTimeline::capacity; ++p) EXPECT_EQ(all[p], 16384);
  for (std::int64_t p = CaptureTimeline::capacity; p < CaptureTimeline::capacity + 10; ++p) EXPECT_EQ(all[p], 0);
}

TEST(CaptureTimeline, StaleRingSlotsAreNotReemittedOneLapLater) {
  CaptureTimeline timeline;
  timeline.ingest(computer, 0, filled(1000, 1.0f));
  timeline.drain(CaptureTimeline::capacity);
  auto next = timeline.drain(CaptureTimeline::capacity + 1000);
  EXPECT_EQ(next, std::vector<std::int16_t>(1000, 0));
  EXPECT_EQ(timeline.missing(computer), CaptureTimeline::capacity);
}

TEST(CaptureTimeline, DrainIsLimitedToOneRingPerCall) {
  CaptureTimeline timeline;
  auto out = timeline.drain(300000);
  EXPECT_EQ(out.size(), static_cast<std::size_t>(CaptureTimeline::capacity));
  EXPECT_EQ(timeline.cursor(), CaptureTimeline::capacity);
  EXPECT_EQ(timeline.drain(300000).size(), static_cast<std::size_t>(CaptureTimeline::capacity));
  EXPECT_EQ(timeline.drain(300000).size(), 300000u - 2 * CaptureTimeline::capacity);
  EXPECT_EQ(timeline.cursor(), 300000);
}

TEST(CaptureTimeline, EmptyBlockChangesNothing) {
  CaptureTimeline timeline;
  timeline.ingest(computer, std::numeric_limits<std::int64_t>::max(), {});
  EXPECT_EQ(timeline.late(computer), 0);
  EXPECT_EQ(timeline.delivered(computer), 0);
}

// Subtracts the reference from the microphone, 40 samples late like a library with latency.
class LateSubtractingCanceller final : public EchoCanceller {
 public:
  std::size_t latency() const noexcept override { return 40; }
  void process(std::span<const float> reference, std::span<float> microphone) noexcept override {
    inputs.emplace_back(microphone.begin(), microphone.end());
    for (std::size_t i = 0; i < microphone.size(); ++i) {
      pending.push_back(microphone[i] - reference[i]);
      microphone[i] = pending.front();
      pending.erase(pending.begin());
    }
  }
  void preview(std::span<const float> reference, std::span<const float>) noexcept override {
    previews.emplace_back(reference.begin(), reference.end());
  }
  std::vector<float> pending = std::vector<float>(40, 0.0f);
  std::vector<std::vector<float>> inputs;
  std::vector<std::vector<float>> previews;
};

TEST(CaptureTimeline, TheCancellerChangesOnlyTheMicrophoneAndItsLatencyMovesNothing) {
  CaptureTimeline timeline;
  LateSubtractingCanceller canceller;
  timeline.ingest(computer, 0, filled(400, 0.5f));
  timeline.ingest(microphone, 0, filled(200, 0.5f));     // the echo alone: cancelled to 0
  timeline.ingest(microphone, 200, filled(120, 0.75f));  // echo and speech; nothing from 320 on

  // The computer is mixed as it came; the microphone's step stays at 200 exactly.
  auto out = timeline.drain(320, &canceller);
  std::vector<std::int16_t> expected(200, 8192);  // 0.5 / 2
  expected.resize(320, 12288);                    // (0.5 + 0.25) / 2
  EXPECT_EQ(out, expected);
  ASSERT_EQ(canceller.inputs.size(), 3u);  // input up to 320 + 40 positions: three frames
  // Frames both sources delivered are shown ahead, the others when they are fed.
  EXPECT_EQ(canceller.previews.size(), 3u);
  EXPECT_EQ(canceller.previews[0], filled(160, 0.5f));

  // Positions the microphone missed reach the canceller as silence and stay out of the mix.
  EXPECT_EQ(timeline.drain(400, &canceller), std::vector<std::int16_t>(80, 8192));
  EXPECT_EQ(canceller.inputs[2], std::vector<float>(160, 0.0f));
  EXPECT_TRUE(std::isnan(canceller.previews[2].back())) << "a preview must tell a position not captured";
  EXPECT_EQ(timeline.missing(microphone), 80);
  EXPECT_EQ(timeline.missing(computer), 0);

  // Without a canceller the same data mixes exactly as before.
  CaptureTimeline plain;
  plain.ingest(computer, 0, filled(160, 0.5f));
  plain.ingest(microphone, 0, filled(160, 0.75f));
  EXPECT_EQ(plain.drain(160), std::vector<std::int16_t>(160, 20479));  // 0.625 × 32767 = 20479.4
}

}  // namespace
}  // namespace talvo
