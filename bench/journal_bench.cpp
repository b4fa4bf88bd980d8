// The WAV journal against the floor it can reach: ten appends of one second of samples and one
// checkpoint per iteration, next to plain write() + fsync() of the same bytes on the same disk
// in the same run. Targets: within 10 % of the plain writes, exactly one fsync per checkpoint
// ("fsyncs_per_checkpoint", counted by wrapping fsync below).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/system/posix_file.h"
#include "core/recording/wave_journal.h"
#include "testing/temp_directory.h"

namespace {
std::atomic<long> fsyncCalls{0};
}

// Every fsync of this program, the journal's included, passes through here.
extern "C" int fsync(int fd) {
  fsyncCalls.fetch_add(1, std::memory_order_relaxed);
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace talvo {
namespace {

constexpr std::size_t secondSamples = 16000;
constexpr int secondsPerCheckpoint = 10;

const std::vector<std::int16_t>& oneSecond() {
  static const std::vector<std::int16_t> samples = [] {
    std::vector<std::int16_t> s(secondSamples);
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int16_t>((i * 977) & 0x7fff);
    return s;
  }();
  return samples;
}

// The journal is restarted before it nears the format's 2^31-sample limit.
constexpr std::uint32_t restartFrames = 1'000'000'000;

struct JournalRun {
  testing::TempDirectory dir;
  int generation = 0;
  std::unique_ptr<WaveJournal> journal;
  void restart() {
    journal.reset();
    journal = std::make_unique<WaveJournal>(dir.file("bench-" + std::to_string(generation++) + ".wav"));
    ::unlink(journal->path().c_str());  // the open descriptor keeps it writable
  }
  void iteration() {
    if (!journal || journal->frames() > restartFrames) restart();
    for (int s = 0; s < secondsPerCheckpoint; ++s) journal->append(oneSecond());
    journal->checkpoint();
  }
};

struct PlainRun {
  testing::TempDirectory dir;
  UniqueFd fd;
  std::int64_t written = 0;
  void restart() {
    const std::string path = dir.file("plain.raw");
    ::unlink(path.c_str());
    fd = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ::unlink(path.c_str());
    written = 0;
  }
  void iteration() {
    if (!fd || written > 2'000'000'000) restart();
    const auto& samples = oneSecond();
    for (int s = 0; s < secondsPerCheckpoint; ++s) {
      posix_file::writeAll(fd.get(), samples.data(), samples.size() * sizeof(std::int16_t));
      written += static_cast<std::int64_t>(samples.size() * sizeof(std::int16_t));
    }
    posix_file::syncFile(fd.get());
  }
};

void BM_JournalTenSecondsThenCheckpoint(benchmark::State& state) {
  JournalRun run;
  run.restart();
  const long before = fsyncCalls.load();
  for (auto _ : state) run.iteration();
  // Creation syncs too; count only the checkpoints' fsyncs.
  state.counters["fsyncs_per_checkpoint"] =
      static_cast<double>(fsyncCalls.load() - before) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * secondsPerCheckpoint * secondSamples * 2);
}
BENCHMARK(BM_JournalTenSecondsThenCheckpoint)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainWriteTenSecondsThenFsync(benchmark::State& state) {
  PlainRun run;
  run.restart();
  for (auto _ : state) run.iteration();
  state.SetBytesProcessed(state.iterations() * secondsPerCheckpoint * secondSamples * 2);
}
BENCHMARK(BM_PlainWriteTenSecondsThenFsync)->Unit(benchmark::kMillisecond)->UseRealTime();

// Both alternately in one loop, so a disk that speeds up or slows down during the run affects
// both sides equally; "journal_over_plain" is the ratio of their total times.
void BM_JournalOverPlainInterleaved(benchmark::State& state) {
  JournalRun journal;
  PlainRun plain;
  journal.restart();
  plain.restart();
  using Clock = std::chrono::steady_clock;
  Clock::duration journalTime{}, plainTime{};
  for (auto _ : state) {
    auto t0 = Clock::now();
    journal.iteration();
    auto t1 = Clock::now();
    plain.iteration();
    auto t2 = Clock::now();
    journalTime += t1 - t0;
    plainTime += t2 - t1;
  }
  state.counters["journal_over_plain"] =
      std::chrono::duration<double>(journalTime).count() / std::chrono::duration<double>(plainTime).count();
}
BENCHMARK(BM_JournalOverPlainInterleaved)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace
}  // namespace talvo

BENCHMARK_MAIN();
