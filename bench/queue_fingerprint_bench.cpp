// Fingerprint (size + SHA-256 in 4 MiB blocks) of a 1 GiB recording against `sha256sum` of the
// same file, in one run. The file lives in /tmp and is removed at the end; the first pass of
// each case warms the page cache so both read from memory.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cloud/queue_directory.h"
#include "core/system/posix_file.h"
#include "core/values/recording_id.h"

namespace {

constexpr std::int64_t fileSize = 1LL << 30;

struct BigRecording {
  std::string directory;
  std::string id = talvo::makeRecordingId();
  BigRecording() {
    char pattern[] = "/tmp/talvo-queue-bench-XXXXXX";
    directory = ::mkdtemp(pattern);
    ::chmod(directory.c_str(), 0700);
    std::string path = directory + "/" + id + ".wav";
    FILE* file = std::fopen(path.c_str(), "wb");
    std::string block(1 << 20, '\0');
    std::uint32_t state = 7;
    for (std::int64_t written = 0; written < fileSize; written += static_cast<std::int64_t>(block.size())) {
      for (auto& byte : block) byte = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
      std::fwrite(block.data(), 1, block.size(), file);
    }
    std::fclose(file);
  }
  ~BigRecording() { std::filesystem::remove_all(directory); }
  std::string path() const { return directory + "/" + id + ".wav"; }
};

BigRecording& recording() {
  static BigRecording made;
  return made;
}

void BM_QueueFingerprint(benchmark::State& state) {
  talvo::QueueDirectory directory(recording().directory);
  for (auto _ : state) {
    auto fingerprint = directory.fingerprint(recording().id);
    benchmark::DoNotOptimize(fingerprint);
  }
  state.SetBytesProcessed(state.iterations() * fileSize);
}

void BM_Sha256sum(benchmark::State& state) {
  const std::string command = "sha256sum " + recording().path();
  for (auto _ : state) {
    FILE* pipe = ::popen(command.c_str(), "r");
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
    }
    if (::pclose(pipe) != 0) state.SkipWithError("sha256sum failed");
  }
  state.SetBytesProcessed(state.iterations() * fileSize);
}

// Alternate the two so drift of a shared machine hits both alike.
BENCHMARK(BM_QueueFingerprint)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();
BENCHMARK(BM_Sha256sum)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  recording();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
