#pragma once
// The runs, parts, finalize and processing endpoints of the fake transcription service, with
// real storage: parts are kept on disk by sequence number after their SHA-256 was checked against
// the request's header, finalize computes the whole file's size and SHA-256 from the stored
// parts, and processing jobs finish after a delay or when a test says so. Switches inject the
// faults the upload queue must survive. The logic is transport-free (`handle`) so suites can
// drive it directly; `install` serves it from an HTTPS server.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

namespace talvo::testing {

class FakeTranscriptionService;

struct FakeRunsRequest {
  std::string method;
  std::string path;  // without the query
  std::map<std::string, std::string> query;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string owner;  // the account the bearer token belongs to
};

struct FakeRunsResponse {
  int status = 200;
  std::string body;
  // Act, then drop the connection without an answer (a lost reply or a cut-off request).
  bool dropConnection = false;
};

class FakeRunsService {
 public:
  struct ListedPart {
    std::int64_t seq = 0;
    std::string sha256;
    std::int64_t bytes = 0;
  };

  struct RunState {
    std::string owner;
    std::string status;  // "open" or "finalized"
    std::optional<std::string> sha256;
    std::optional<std::int64_t> bytes;
    std::map<std::int64_t, ListedPart> parts;
    std::string title;
    std::string startedAt;
    bool captureInterrupted = false;
  };

  // Fault switches; each applies to the next matching request(s) as described.
  struct Faults {
    // Cut the connection after this many bytes of the next part's body (the part is not stored).
    std::optional<std::size_t> dropNextPartAfter;
    // Finalize stores the run as finalized but answers 409 "RUN_FINALIZED", as if another
    // attempt had just finished it.
    bool finalizeAnswersRunFinalized = false;
    // Listings carry this extra entry (a stale part past the end, or a foreign one).
    std::optional<ListedPart> extraListedPart;
    // Part uploads are refused with 413.
    bool refuseParts413 = false;
    // The next processing request starts the job, then the reply is lost.
    bool loseNextProcessReply = false;
    // Listings say there is a further page ("nextAfter").
    bool listingHasNextPage = false;
    // Run creation answers with this run id instead of the recording's.
    std::optional<std::string> createdRunId;
  };

  // Parts are stored under `storage` (a private directory that must exist).
  explicit FakeRunsService(std::string storage);
  ~FakeRunsService();

  // Answers a request under /api/runs; none for any other path.
  std::optional<FakeRunsResponse> handle(const FakeRunsRequest& request);

  // Serves the endpoints from the fake transcription service (before its start()): bearer
  // tokens are the sessions that service issued.
  void install(FakeTranscriptionService& service);
  // Serves the endpoints on a bare server; `ownerOfToken` maps a bearer token to its account
  // (none answers 401). Part bodies are read as a stream, at most one part plus one byte.
  void install(httplib::Server& server, std::function<std::optional<std::string>(const std::string&)> ownerOfToken);

  // Test controls and inspection.
  void setFaults(const Faults& faults);
  Faults faults() const;
  // A job completes this long after it was started; none (the default) = only on completeJob.
  void setJobDelay(std::optional<std::chrono::milliseconds> delay);
  void completeJob(const std::string& id, const std::string& status = "completed");
  std::optional<RunState> run(const std::string& id) const;
  std::optional<std::string> jobStatus(const std::string& id) const;
  // The whole stored file of a finalized run, concatenated from its parts.
  std::string storedFile(const std::string& id) const;
  int processRequests(const std::string& id) const;
  // Part uploads that arrived for a sequence number the run already held.
  int repeatedParts() const;
  // Waits until no request is being handled (e.g. after its client was killed mid-request).
  void waitIdle() const;
  int acceptedParts() const;

 private:
  struct PrefixHash;
  struct Job {
    std::string status;
    std::optional<std::chrono::steady_clock::time_point> readyAt;
  };

  FakeRunsResponse createRun(const FakeRunsRequest& request);
  FakeRunsResponse putPart(const FakeRunsRequest& request, const std::string& run, const std::string& seq);
  FakeRunsResponse finalize(const FakeRunsRequest& request, const std::string& run);
  FakeRunsResponse process(const FakeRunsRequest& request, const std::string& id);
  std::string runReply(const std::string& id, const RunState& run) const;
  std::string partPath(const std::string& run, std::int64_t seq) const;
  RunState* ownedRun(const std::string& id, const std::string& owner);
  void advanceJob(Job& job) const;

  std::string storage_;
  mutable std::mutex mutex_;
  std::map<std::string, RunState> runs_;
  std::map<std::string, Job> jobs_;
  std::map<std::string, std::unique_ptr<PrefixHash>> prefixes_;
  std::map<std::string, int> processRequests_;
  Faults faults_;
  std::optional<std::chrono::milliseconds> jobDelay_;
  int repeatedParts_ = 0;
  std::atomic<int> inFlight_{0};
  int acceptedParts_ = 0;
};

}  // namespace talvo::testing
