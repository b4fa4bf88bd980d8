// The capture timeline's cost: two sources of 10 ms blocks ingested and drained, one second of
// audio per iteration. "realtime_x" is seconds of audio handled per second of one core; the
// target is at least 10,000. "ingest_allocations" must stay 0: ingest runs on the capture
// thread for every block and may not touch the allocator.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "core/recording/capture_timeline.h"

namespace {
std::atomic<long> allocations{0};
}

// Counting replacements of the global allocator (malloc and free underneath, paired by hand).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace talvo {
namespace {

constexpr std::int64_t blockFrames = 160;  // 10 ms at 16 kHz
constexpr std::int64_t blocksPerSecond = CaptureTimeline::rate / blockFrames;

std::vector<float> tone(float frequency, float gain) {
  std::vector<float> block(blockFrames);
  for (std::int64_t i = 0; i < blockFrames; ++i)
    block[i] = gain * std::sin(2.0f * 3.14159265f * frequency * static_cast<float>(i) / 16000.0f);
  return block;
}

void BM_TimelineOneSecondTwoSources(benchmark::State& state) {
  CaptureTimeline timeline;
  const auto computer = tone(440.0f, 0.6f);
  const auto microphone = tone(220.0f, 0.4f);
  std::int64_t position = 0;
  long ingestAllocations = 0;
  long samples = 0;
  for (auto _ : state) {
    const long before = allocations.load(std::memory_order_relaxed);
    for (std::int64_t b = 0; b < blocksPerSecond; ++b) {
      // The microphone trails by 37 frames, as two devices' clocks never agree exactly.
      timeline.ingest(CaptureSource::computer, position + b * blockFrames, computer);
      timeline.ingest(CaptureSource::microphone, position + b * blockFrames - 37, microphone);
    }
    ingestAllocations += allocations.load(std::memory_order_relaxed) - before;
    position += CaptureTimeline::rate;
    auto mixed = timeline.drain(position);
    samples += static_cast<long>(mixed.size());
    benchmark::DoNotOptimize(mixed.data());
  }
  state.counters["realtime_x"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["ingest_allocations"] = static_cast<double>(ingestAllocations);
  state.SetItemsProcessed(samples);
  if (ingestAllocations != 0) state.SkipWithError("ingest allocated memory");
}
BENCHMARK(BM_TimelineOneSecondTwoSources)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace talvo

BENCHMARK_MAIN();
