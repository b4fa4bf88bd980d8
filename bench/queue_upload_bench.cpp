// Upload of a 256 MiB recording by the queue's protocol to the fake service over TLS on loopback,
// against `curl` sending the same 4 MiB parts (with the same headers) in one process that reuses
// its connection. Two comparisons, pair by pair:
//   - the part loop alone (list, then the 64 parts one at a time) against curl of the same parts;
//   - the whole upload (re-fingerprint, records, create, look up, list, parts, finalize, verify)
//     against what a script would need for the same: `sha256sum` of the file, `sha256sum` of
//     every part, then curl. The same with `openssl dgst -sha256` (which uses the CPU's SHA
//     instructions, as the queue does) is reported too.
// The service runs in a child process so that the queue's own memory can be watched: peak
// resident memory during the upload minus the resident memory before it.
// Files live in /tmp and are removed at the end.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

#include "cloud/bounded_desktop_transport.h"
#include "cloud/desktop_cloud.h"
#include "cloud/desktop_upload_queue.h"
#include "testing/memory_device_store.h"
#include "cloud/queue_desktop_cloud.h"
#include "cloud/upload_protocol.h"
#include "cloud/upload_sha256.h"
#include "core/system/posix_file.h"
#include "core/values/recording_id.h"
#include "testing/fake_runs_service.h"
#include "testing/fake_transcription_service.h"

namespace {

using namespace talvo;

constexpr std::int64_t recordingSize = 256LL << 20;
constexpr std::int64_t partSize = 4194304;
const std::string owner = "1001";

std::string workDirectory;
std::string serviceStorage;

long statusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  }
  return -1;
}

void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

struct ServiceProcess {
  pid_t pid = -1;
  std::string origin;
  std::string caFile;

  ServiceProcess() {
    int channel[2];
    if (::pipe(channel) != 0) throw std::runtime_error("pipe");
    pid = ::fork();
    if (pid == 0) {
      ::close(channel[0]);
      testing::FakeTranscriptionService::Options options;
      options.directory = workDirectory + "/service";
      testing::FakeTranscriptionService service(options);
      // The service keeps its parts in memory-backed storage, so its disk does not drown the
      // client's own costs (hashing, framing, TLS) that this benchmark is about.
      posix_file::makeDirectories(serviceStorage);
      testing::FakeRunsService runs(serviceStorage);
      runs.setJobDelay(std::chrono::milliseconds(0));
      runs.install(service);
      service.addRoute("POST", "/api/bench/approve",
                       [&service](const httplib::Request& request, httplib::Response& response) {
                         auto body = nlohmann::json::parse(request.body);
                         service.approvePairing(body.at("code").get<std::string>(),
                                                testing::FakeAccount{owner, "Bench", "bench", {{"plan", "unlimited"}}});
                         testing::FakeTranscriptionService::reply(response, {{"approved", true}});
                       });
      service.start();
      std::string hello = service.origin() + "\n" + service.caFile() + "\n";
      posix_file::writeAll(channel[1], hello.data(), hello.size());
      ::pause();
      ::_exit(0);
    }
    ::close(channel[1]);
    std::string text(4096, '\0');
    std::size_t got = 0;
    while (std::count(text.begin(), text.begin() + static_cast<long>(got), '\n') < 2) {
      ssize_t n = ::read(channel[0], text.data() + got, text.size() - got);
      if (n <= 0) throw std::runtime_error("service did not start");
      got += static_cast<std::size_t>(n);
    }
    ::close(channel[0]);
    std::istringstream lines(text.substr(0, got));
    std::getline(lines, origin);
    std::getline(lines, caFile);
  }
  ~ServiceProcess() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
};

struct Setup {
  std::unique_ptr<ServiceProcess> service;
  std::shared_ptr<DesktopCloud> cloud;
  std::unique_ptr<QueueDesktopCloud> queueCloud;
  std::unique_ptr<DesktopUploadQueue> queue;
  std::string recordings;
  std::string currentWav;
  std::vector<std::string> partFiles;
  std::vector<std::string> partHashes;

  Setup() {
    char pattern[] = "/tmp/talvo-upload-bench-XXXXXX";
    workDirectory = ::mkdtemp(pattern);
    ::chmod(workDirectory.c_str(), 0700);
    recordings = workDirectory + "/recordings";
    serviceStorage = "/dev/shm/" + std::filesystem::path(workDirectory).filename().string();
    posix_file::makeDirectories(recordings);
    service = std::make_unique<ServiceProcess>();

    BoundedDesktopTransport::Options options;
    options.caFile = service->caFile;
    cloud = std::make_shared<DesktopCloud>(std::make_shared<testing::MemoryDeviceStore>(),
                                           std::make_shared<BoundedDesktopTransport>(options), service->origin, "t.me");
    auto descriptor = cloud->beginPair();
    DesktopCloud::CallRequest approve;
    approve.method = "POST";
    approve.json = nlohmann::json{{"code", descriptor.code}};
    cloud->exchange("/api/bench/approve", approve);
    cloud->pollPair();
    cloud->confirmAccount(owner);
    queueCloud = std::make_unique<QueueDesktopCloud>(cloud);
    queue = std::make_unique<DesktopUploadQueue>(recordings, *queueCloud);

    // The recording, and the same bytes as part files for curl.
    currentWav = recordings + "/initial.wav";
    std::ofstream wav(currentWav, std::ios::binary);
    std::string part(static_cast<std::size_t>(partSize), '\0');
    std::uint32_t state = 3;
    for (std::int64_t seq = 0; seq * partSize < recordingSize; ++seq) {
      for (auto& byte : part) byte = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
      wav.write(part.data(), static_cast<std::streamsize>(part.size()));
      partFiles.push_back(workDirectory + "/part" + std::to_string(seq));
      std::ofstream(partFiles.back(), std::ios::binary).write(part.data(), static_cast<std::streamsize>(part.size()));
      partHashes.push_back(UploadSha256::hex(part));
    }
  }

  ~Setup() {
    queue.reset();
    service.reset();
    std::filesystem::remove_all(workDirectory);
    std::filesystem::remove_all(serviceStorage);
  }

  // A finished record for the recording, renamed to the record's id (one link, as the queue wants).
  std::string nextRecording() {
    std::string id = queue->prepare();
    std::string wav = recordings + "/" + id + ".wav";
    std::filesystem::rename(currentWav, wav);
    currentWav = wav;
    queue->finish(id, false);
    return id;
  }
};

Setup& setup() {
  static Setup made;
  return made;
}

double seconds(std::chrono::steady_clock::duration elapsed) { return std::chrono::duration<double>(elapsed).count(); }

// One upload of the queue's protocol for a fresh finished recording: re-fingerprint, record
// saved as "uploading", create, look up, list, 64 parts, finalize, verify, record saved as
// "uploaded" (the processing request that a sync pass makes next is not part of the upload).
// Returns seconds and updates the largest growth of resident memory seen.
double queueUpload(Setup& s, double& growthKilobytes) {
  std::string id = s.nextRecording();
  DesktopQueueItem item = s.queue->directory().load(id);
  UploadProtocol protocol(*s.queueCloud, s.queue->directory());
  ::sync();  // earlier writes must not be flushed inside the timed upload
  long before = statusKilobytes("VmRSS:");
  resetPeakMemory();
  auto start = std::chrono::steady_clock::now();
  item = protocol.upload(item, [&](const DesktopQueueItem& changed) { s.queue->directory().save(changed, false); });
  double elapsed = seconds(std::chrono::steady_clock::now() - start);
  growthKilobytes = std::max(growthKilobytes, static_cast<double>(statusKilobytes("VmHWM:") - before));
  if (item.state != "uploaded") throw std::runtime_error("upload did not complete");
  return elapsed;
}

// A fresh open run that the service accepts, for the parts curl or the part loop send.
std::string createRun(Setup& s, const std::string& token) {
  DesktopQueueItem item;
  item.id = makeRecordingId();
  item.startedAt = "2026-12-07T10:15:00Z";
  DesktopCloud::CallRequest create;
  create.method = "POST";
  create.token = token;
  create.json = nlohmann::json{{"id", item.id},
                               {"metadata", UploadProtocol::metadata(item)},
                               {"catalog", {{"title", UploadProtocol::title(item)}, {"startedAt", item.startedAt}}}};
  s.cloud->exchange("/api/runs", create);
  return item.id;
}

double run(const std::string& command) {
  auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command.substr(0, 80));
  return seconds(std::chrono::steady_clock::now() - start);
}

// curl sending the same 64 parts with the same headers into a fresh run, one process, one
// connection reused for every part.
double curlUpload(Setup& s) {
  std::string token = s.cloud->access(owner);
  std::string id = createRun(s, token);
  std::string command = "curl -sS --fail --cacert " + s.service->caFile + " -o /dev/null";
  for (std::size_t seq = 0; seq < s.partFiles.size(); ++seq) {
    if (seq > 0) command += " --next -sS --fail --cacert " + s.service->caFile + " -o /dev/null";
    command += " -H 'Authorization: Bearer " + token + "' -H 'X-Content-SHA256: " + s.partHashes[seq] +
               "' -H 'X-Audio-Type: audio/wav' -H 'Content-Type: application/octet-stream'" +
               " -H 'Accept: application/json' -T " + s.partFiles[seq] + " " + s.service->origin + "/api/runs/" + id +
               "/chunks/" + std::to_string(seq);
  }
  ::sync();
  return run(command);
}

// The hashing a script needs around curl: the whole file, then every part.
double hashing(Setup& s, const std::string& tool) {
  std::string parts;
  for (const auto& file : s.partFiles) parts += " " + file;
  return run(tool + " " + s.currentWav + " > /dev/null") + run(tool + parts + " > /dev/null");
}

// Only the part loop of the queue's protocol: the fingerprint and the run are made first,
// untimed, as the upload would have made them.
double queuePartLoop(Setup& s) {
  std::string id = s.nextRecording();
  DesktopQueueItem item = s.queue->directory().load(id);
  QueueDirectory::Fingerprint fingerprint = s.queue->directory().fingerprint(id, true);
  std::string run_id = createRun(s, s.cloud->access(owner));
  UploadProtocol protocol(*s.queueCloud, s.queue->directory());
  ::sync();
  auto start = std::chrono::steady_clock::now();
  protocol.sendParts(item, run_id, fingerprint.blocks);
  return seconds(std::chrono::steady_clock::now() - start);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Queue and baseline in turn, pair by pair, so a noisy shared machine slows both alike; the
// ratio of each pair is kept and the median reported. The iteration time is the queue's.
void BM_PartLoopVsCurl(benchmark::State& state) {
  Setup& s = setup();
  std::vector<double> ratios;
  double queue_total = 0;
  double curl_total = 0;
  for (auto _ : state) {
    double queue = queuePartLoop(s);
    double curl = curlUpload(s);
    state.SetIterationTime(queue);
    queue_total += queue;
    curl_total += curl;
    ratios.push_back(curl / queue);  // throughput of the queue relative to curl's
  }
  const double mebibytes = static_cast<double>(recordingSize) / (1 << 20);
  state.counters["queue_MiBps"] = mebibytes * static_cast<double>(ratios.size()) / queue_total;
  state.counters["curl_MiBps"] = mebibytes * static_cast<double>(ratios.size()) / curl_total;
  state.counters["median_ratio"] = median(ratios);
}

BENCHMARK(BM_PartLoopVsCurl)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

void BM_QueueVsCurl(benchmark::State& state) {
  Setup& s = setup();
  double growth_kb = 0;
  std::vector<double> ratios;
  std::vector<double> openssl_ratios;
  double queue_total = 0;
  double baseline_total = 0;
  for (auto _ : state) {
    double queue = queueUpload(s, growth_kb);
    double curl = curlUpload(s);
    double sha256sum = hashing(s, "sha256sum");
    double openssl = hashing(s, "openssl dgst -sha256");
    state.SetIterationTime(queue);
    queue_total += queue;
    baseline_total += curl + sha256sum;
    ratios.push_back((curl + sha256sum) / queue);
    openssl_ratios.push_back((curl + openssl) / queue);
  }
  const double mebibytes = static_cast<double>(recordingSize) / (1 << 20);
  state.counters["queue_MiBps"] = mebibytes * static_cast<double>(ratios.size()) / queue_total;
  state.counters["baseline_MiBps"] = mebibytes * static_cast<double>(ratios.size()) / baseline_total;
  state.counters["median_ratio"] = median(ratios);
  state.counters["median_ratio_openssl"] = median(openssl_ratios);
  state.counters["peak_rss_growth_MiB"] = growth_kb / 1024.0;
}

BENCHMARK(BM_QueueVsCurl)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

}  // namespace

namespace {

// Diagnostic: the same 64 parts through DesktopCloud::exchange alone (no hashing, no finalize),
// to tell the queue's own cost from the transport's.
void BM_ExchangeParts(benchmark::State& state) {
  Setup& s = setup();
  std::vector<std::string> parts;
  for (const auto& file : s.partFiles) {
    std::ifstream in(file, std::ios::binary);
    parts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::string token = s.cloud->access(owner);
    std::string id = createRun(s, token);
    ::sync();
    state.ResumeTiming();
    for (std::size_t seq = 0; seq < parts.size(); ++seq) {
      DesktopCloud::CallRequest put;
      put.method = "PUT";
      put.token = token;
      put.bytes = parts[seq];
      put.extra = {{"X-Content-SHA256", s.partHashes[seq]}, {"X-Audio-Type", "audio/wav"}};
      s.cloud->exchange("/api/runs/" + id + "/chunks/" + std::to_string(seq), put);
    }
  }
  state.SetBytesProcessed(state.iterations() * recordingSize);
}
BENCHMARK(BM_ExchangeParts)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Every part buffer is its own mapping, returned when freed: otherwise glibc raises its
  // mapping threshold after the first 4 MiB free and later buffers come from a heap that stays
  // resident, hiding them from the peak-growth figure.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  benchmark::Initialize(&argc, argv);
  setup();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
