// 100 sequential authorised GETs of the account information to the fake service over TLS on
// loopback: with connections reused between requests, and with a fresh connection (full TLS
// handshake) per request. Prints the speed-up of reuse at the end; the target is at least 5x.
#include <benchmark/benchmark.h>

#include <iostream>
#include <map>
#include <memory>

#include "cloud/bounded_desktop_transport.h"
#include "cloud/desktop_cloud.h"
#include "testing/memory_device_store.h"
#include "testing/fake_transcription_service.h"

namespace {

using talvo::BoundedDesktopTransport;
using talvo::CloudInfo;
using talvo::DesktopCloud;
using talvo::testing::FakeAccount;
using talvo::testing::FakeTranscriptionService;

constexpr int requestsPerIteration = 100;

std::unique_ptr<DesktopCloud> linkedClient(FakeTranscriptionService& service, bool reuse, const std::string& owner) {
  BoundedDesktopTransport::Options options;
  options.caFile = service.caFile();
  options.reuseConnections = reuse;
  auto cloud = std::make_unique<DesktopCloud>(std::make_shared<talvo::testing::MemoryDeviceStore>(),
                                              std::make_shared<BoundedDesktopTransport>(options), service.origin(),
                                              service.telegramHost());
  auto descriptor = cloud->beginPair();
  service.approvePairing(descriptor.code, FakeAccount{owner, "Bench", "bench", {{"plan", "unlimited"}}});
  cloud->pollPair();
  cloud->confirmAccount(owner);
  return cloud;
}

void runGets(benchmark::State& state, DesktopCloud& cloud, const std::string& owner) {
  for (auto _ : state) {
    for (int i = 0; i < requestsPerIteration; ++i) {
      auto info = cloud.authorized<CloudInfo>(owner, "/api/desktop/session", {});
      benchmark::DoNotOptimize(info);
    }
  }
  state.SetItemsProcessed(state.iterations() * requestsPerIteration);
}

// Keeps the mean real time of each benchmark so the ratio can be printed after the run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs)
      if (run.run_type == Run::RT_Iteration) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  FakeTranscriptionService service;
  service.start();
  auto reused = linkedClient(service, true, "1001");
  auto fresh = linkedClient(service, false, "2002");

  benchmark::RegisterBenchmark("AuthorisedGets100/reused_connection", [&](benchmark::State& state) {
    runGets(state, *reused, "1001");
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("AuthorisedGets100/fresh_connection", [&](benchmark::State& state) {
    runGets(state, *fresh, "2002");
  })->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  auto a = reporter.times.find("AuthorisedGets100/reused_connection");
  auto b = reporter.times.find("AuthorisedGets100/fresh_connection");
  if (a != reporter.times.end() && b != reporter.times.end() && a->second > 0) {
    double ratio = b->second / a->second;
    std::cout << "reuse speed-up: " << ratio << "x (target >= 5x) " << (ratio >= 5 ? "MET" : "NOT MET") << std::endl;
  }
  return 0;
}
