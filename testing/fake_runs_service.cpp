#include "testing/fake_runs_service.h"

#include <fcntl.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "core/values/hex.h"
#include "core/system/posix_file.h"
#include "core/values/recording_id.h"
#include "core/system/unique_fd.h"
#include "testing/fake_transcription_service.h"

namespace talvo::testing {

using nlohmann::json;

namespace {

constexpr std::int64_t partSize = 4194304;
constexpr std::int64_t maximumParts = 512;

class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context_, EVP_sha256(), nullptr); }
  Sha256(const Sha256& other) : context_(EVP_MD_CTX_new()) { EVP_MD_CTX_copy_ex(context_, other.context_); }
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256() { EVP_MD_CTX_free(context_); }
  void update(const void* data, std::size_t size) { EVP_DigestUpdate(context_, data, size); }
  std::string hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, digest, &length);
    return lowerHex(digest, length);
  }

 private:
  EVP_MD_CTX* context_;
};

FakeRunsResponse error(int status, const std::string& code) { return {status, json{{"error", code}}.dump(), false}; }
FakeRunsResponse ok(const json& body) { return {200, body.dump(), false}; }

std::vector<std::string> segments(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::optional<std::int64_t> decimal(const std::string& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The members a client must send, checked as strictly as the service does: exactly these keys,
// each with exactly this type (and this value where it is fixed).
bool exactMembers(const json& value, std::initializer_list<const char*> keys) {
  if (!value.is_object() || value.size() != keys.size()) return false;
  for (const char* key : keys)
    if (!value.contains(key)) return false;
  return true;
}

bool isString(const json& value, const char* key) { return value.contains(key) && value[key].is_string(); }

bool validMetadata(const json& metadata) {
  return exactMembers(metadata, {"mode", "sampleRate", "mimeType", "sourceMode", "captureProfile", "startedAt",
                                 "captureInterrupted"}) &&
         metadata["mode"] == "v1-mediarecorder" && metadata["sampleRate"].is_number_integer() &&
         metadata["sampleRate"] == 16000 && metadata["mimeType"] == "audio/wav" &&
         metadata["sourceMode"] == "desktop-system-mic" && metadata["captureProfile"] == "desktop-pcm16-v1" &&
         isString(metadata, "startedAt") && metadata["captureInterrupted"].is_boolean();
}

std::string readFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw std::runtime_error("fake service lost a part: " + path);
  std::string data(static_cast<std::size_t>(partSize), '\0');
  data.resize(posix_file::readFully(fd.get(), data.data(), data.size()));
  return data;
}

}  // namespace

// The hash of the parts stored so far in order, so finalize need not read them back when the
// parts arrived front to back (the usual case); otherwise finalize reads the stored parts.
struct FakeRunsService::PrefixHash {
  Sha256 hash;
  std::int64_t parts = 0;
  std::int64_t bytes = 0;
};

FakeRunsService::FakeRunsService(std::string storage) : storage_(std::move(storage)) {}
FakeRunsService::~FakeRunsService() = default;

std::string FakeRunsService::partPath(const std::string& run, std::int64_t seq) const {
  return storage_ + "/" + run + "." + std::to_string(seq) + ".part";
}

FakeRunsService::RunState* FakeRunsService::ownedRun(const std::string& id, const std::string& owner) {
  auto found = runs_.find(id);
  if (found == runs_.end() || found->second.owner != owner) return nullptr;
  return &found->second;
}

void FakeRunsService::advanceJob(Job& job) const {
  if (job.status == "running" && job.readyAt && std::chrono::steady_clock::now() >= *job.readyAt) {
    job.status = "completed";
  }
}

std::string FakeRunsService::runReply(const std::string& id, const RunState& run) const {
  json reply{{"id", id}, {"status", run.status}};
  if (run.sha256) reply["sha256"] = *run.sha256;
  if (run.bytes) reply["bytes"] = *run.bytes;
  return reply.dump();
}

std::optional<FakeRunsResponse> FakeRunsService::handle(const FakeRunsRequest& request) {
  if (request.path != "/api/runs" && request.path.rfind("/api/runs/", 0) != 0) return std::nullopt;
  std::lock_guard lock(mutex_);
  std::vector<std::string> parts = segments(request.path);  // "api", "runs", ...
  if (parts.size() == 2) {
    if (request.method != "POST") return error(405, "METHOD_NOT_ALLOWED");
    return createRun(request);
  }
  const std::string& id = parts[2];
  if (parts.size() == 3 && request.method == "GET") {
    RunState* run = ownedRun(id, request.owner);
    if (run == nullptr) return error(404, "RUN_NOT_FOUND");
    return FakeRunsResponse{200, runReply(id, *run), false};
  }
  if (parts.size() == 4 && parts[3] == "chunks" && request.method == "GET") {
    RunState* run = ownedRun(id, request.owner);
    if (run == nullptr) return error(404, "RUN_NOT_FOUND");
    auto given = request.query.find("limit");
    std::optional<std::int64_t> asked = given == request.query.end() ? std::nullopt : decimal(given->second);
    if (!asked || *asked < 1 || *asked > 1000) return error(400, "LIMIT_INVALID");
    const std::int64_t limit = *asked;
    json chunks = json::array();
    std::optional<std::int64_t> next_after;
    std::vector<ListedPart> listed;
    for (const auto& [seq, part] : run->parts) listed.push_back(part);
    if (faults_.extraListedPart) listed.push_back(*faults_.extraListedPart);
    for (const ListedPart& part : listed) {
      if (static_cast<std::int64_t>(chunks.size()) == limit) {
        next_after = chunks.back()["seq"].get<std::int64_t>();
        break;
      }
      chunks.push_back(json{{"seq", part.seq}, {"sha256", part.sha256}, {"bytes", part.bytes}});
    }
    json reply{{"chunks", chunks}};
    if (faults_.listingHasNextPage && !next_after) next_after = 0;
    if (next_after) reply["nextAfter"] = *next_after;
    return ok(reply);
  }
  if (parts.size() == 5 && parts[3] == "chunks" && request.method == "PUT") return putPart(request, id, parts[4]);
  if (parts.size() == 4 && parts[3] == "finalize" && request.method == "POST") return finalize(request, id);
  if (parts.size() == 4 && parts[3] == "processing" && request.method == "GET") {
    if (ownedRun(id, request.owner) == nullptr) return error(404, "RUN_NOT_FOUND");
    auto view = request.query.find("view");
    if (view == request.query.end() || view->second != "status") return error(400, "VIEW_INVALID");
    auto job = jobs_.find(id);
    if (job == jobs_.end()) return ok(json::object());
    advanceJob(job->second);
    return ok(json{{"job", {{"status", job->second.status}}}});
  }
  if (parts.size() == 4 && parts[3] == "process" && request.method == "POST") return process(request, id);
  return error(404, "NOT_FOUND");
}

FakeRunsResponse FakeRunsService::createRun(const FakeRunsRequest& request) {
  json body = json::parse(request.body, nullptr, false);
  if (!exactMembers(body, {"id", "metadata", "catalog"}) || !isString(body, "id") ||
      !isRecordingId(body["id"].get<std::string>()) || !validMetadata(body["metadata"]) ||
      !exactMembers(body["catalog"], {"title", "startedAt"}) || !isString(body["catalog"], "title") ||
      body["catalog"]["startedAt"] != body["metadata"]["startedAt"]) {
    return error(400, "RUN_INVALID");
  }
  const bool interrupted = body["metadata"]["captureInterrupted"].get<bool>();
  if (body["catalog"]["title"] != (interrupted ? "Прерванная запись с компьютера" : "Запись с компьютера"))
    return error(400, "RUN_INVALID");
  const std::string id = body["id"].get<std::string>();
  if (faults_.createdRunId) return ok(json{{"id", *faults_.createdRunId}, {"status", "open"}});
  auto found = runs_.find(id);
  if (found != runs_.end()) {
    if (found->second.owner != request.owner) return error(403, "OWNER_MISMATCH");
    return FakeRunsResponse{200, runReply(id, found->second), false};
  }
  RunState run;
  run.owner = request.owner;
  run.status = "open";
  run.title = body["catalog"]["title"].get<std::string>();
  run.startedAt = body["metadata"]["startedAt"].get<std::string>();
  run.captureInterrupted = interrupted;
  auto inserted = runs_.emplace(id, std::move(run)).first;
  return FakeRunsResponse{200, runReply(id, inserted->second), false};
}

FakeRunsResponse FakeRunsService::putPart(const FakeRunsRequest& request, const std::string& id,
                                          const std::string& seq_text) {
  RunState* run = ownedRun(id, request.owner);
  if (run == nullptr) return error(404, "RUN_NOT_FOUND");
  std::optional<std::int64_t> seq = decimal(seq_text);
  if (!seq || *seq >= maximumParts) return error(400, "CHUNK_INVALID");
  if (faults_.dropNextPartAfter) {
    faults_.dropNextPartAfter.reset();
    return FakeRunsResponse{0, "", true};
  }
  if (faults_.refuseParts413) return error(413, "PAYLOAD_TOO_LARGE");
  if (run->status != "open") return error(409, "RUN_FINALIZED");
  auto audio = request.headers.find("x-audio-type");
  if (audio == request.headers.end() || audio->second != "audio/wav") return error(400, "AUDIO_TYPE_INVALID");
  if (static_cast<std::int64_t>(request.body.size()) > partSize) return error(413, "PAYLOAD_TOO_LARGE");
  if (request.body.empty()) return error(400, "CHUNK_INVALID");
  auto header = request.headers.find("x-content-sha256");
  Sha256 hash;
  hash.update(request.body.data(), request.body.size());
  const std::string actual = hash.hex();
  if (header == request.headers.end() || header->second != actual) return error(400, "CHUNK_HASH_MISMATCH");

  const auto size = static_cast<std::int64_t>(request.body.size());
  auto stored = run->parts.find(*seq);
  if (stored != run->parts.end()) {
    ++repeatedParts_;
    if (stored->second.sha256 != actual || stored->second.bytes != size) return error(409, "CHUNK_CONFLICT");
  } else {
    // Written completely before it is listed, like a service that commits then indexes.
    posix_file::replaceFile(partPath(id, *seq), request.body);
    run->parts.emplace(*seq, ListedPart{*seq, actual, size});
    auto& prefix = prefixes_[id];
    if (!prefix) prefix = std::make_unique<PrefixHash>();
    if (prefix->parts == *seq) {
      prefix->hash.update(request.body.data(), request.body.size());
      ++prefix->parts;
      prefix->bytes += size;
    }
    ++acceptedParts_;
  }
  return ok(json{{"seq", *seq}, {"sha256", actual}, {"bytes", size}});
}

FakeRunsResponse FakeRunsService::finalize(const FakeRunsRequest& request, const std::string& id) {
  RunState* run = ownedRun(id, request.owner);
  if (run == nullptr) return error(404, "RUN_NOT_FOUND");
  if (run->status == "finalized") return error(409, "RUN_FINALIZED");
  json body = json::parse(request.body, nullptr, false);
  if (!exactMembers(body, {"chunkCount", "manifest"}) || !body["chunkCount"].is_number_integer() ||
      !exactMembers(body["manifest"], {"session", "upload"})) {
    return error(400, "MANIFEST_INVALID");
  }
  const json& session = body["manifest"]["session"];
  const json* upload = &body["manifest"]["upload"];
  if (!exactMembers(session, {"id", "mode", "mimeType", "sampleRate", "startedAt"}) || session["id"] != id ||
      session["mode"] != "v1-mediarecorder" || session["mimeType"] != "audio/wav" ||
      !session["sampleRate"].is_number_integer() || session["sampleRate"] != 16000 ||
      session["startedAt"] != run->startedAt || !exactMembers(*upload, {"format", "chunkBytes", "bytes", "sha256"}) ||
      (*upload)["format"] != "combined-file-v1" || !(*upload)["chunkBytes"].is_number_integer() ||
      (*upload)["chunkBytes"] != partSize || !(*upload)["bytes"].is_number_integer() ||
      !(*upload)["sha256"].is_string()) {
    return error(400, "MANIFEST_INVALID");
  }
  const auto count = body["chunkCount"].get<std::int64_t>();
  if (count != static_cast<std::int64_t>(run->parts.size())) return error(409, "FINALIZE_CONFLICT");
  for (std::int64_t seq = 0; seq < count; ++seq) {
    auto part = run->parts.find(seq);
    if (part == run->parts.end()) return error(409, "FINALIZE_CONFLICT");
    if (seq + 1 < count && part->second.bytes != partSize) return error(409, "FINALIZE_CONFLICT");
  }
  std::string digest;
  std::int64_t total = 0;
  auto prefix = prefixes_.find(id);
  if (prefix != prefixes_.end() && prefix->second && prefix->second->parts == count) {
    Sha256 whole(prefix->second->hash);
    digest = whole.hex();
    total = prefix->second->bytes;
  } else {
    Sha256 whole;
    for (std::int64_t seq = 0; seq < count; ++seq) {
      std::string data = readFile(partPath(id, seq));
      whole.update(data.data(), data.size());
      total += static_cast<std::int64_t>(data.size());
    }
    digest = whole.hex();
  }
  if (total != (*upload)["bytes"].get<std::int64_t>() || digest != (*upload)["sha256"].get<std::string>()) {
    return error(409, "FINALIZE_CONFLICT");
  }
  run->status = "finalized";
  run->bytes = total;
  run->sha256 = digest;
  if (faults_.finalizeAnswersRunFinalized) return error(409, "RUN_FINALIZED");
  return ok(json::object());
}

FakeRunsResponse FakeRunsService::process(const FakeRunsRequest& request, const std::string& id) {
  RunState* run = ownedRun(id, request.owner);
  if (run == nullptr) return error(404, "RUN_NOT_FOUND");
  if (run->status != "finalized") return error(409, "RUN_NOT_FINALIZED");
  if (json::parse(request.body, nullptr, false) != json{{"summary", true}}) return error(400, "PROCESS_INVALID");
  ++processRequests_[id];
  auto job = jobs_.find(id);
  if (job == jobs_.end()) {
    Job started{"running", std::nullopt};
    if (jobDelay_) started.readyAt = std::chrono::steady_clock::now() + *jobDelay_;
    job = jobs_.emplace(id, started).first;
  }
  advanceJob(job->second);
  if (faults_.loseNextProcessReply) {
    faults_.loseNextProcessReply = false;
    return FakeRunsResponse{0, "", true};
  }
  return ok(json{{"job", {{"status", job->second.status}}}});
}

namespace {

FakeRunsRequest translate(const httplib::Request& req, std::string body) {
  FakeRunsRequest request;
  request.method = req.method;
  request.path = req.path;
  for (const auto& [name, value] : req.params) request.query[name] = value;
  for (const auto& [name, value] : req.headers) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    request.headers[lower] = value;
  }
  request.body = std::move(body);
  return request;
}

// Headers go out, then the connection closes before any body: the client sees a broken reply.
void dropConnection(httplib::Response& res) {
  res.set_chunked_content_provider("application/json", [](std::size_t, httplib::DataSink&) { return false; });
}

}  // namespace

void FakeRunsService::install(FakeTranscriptionService& service) {
  auto serve = [this, &service](const httplib::Request& req, httplib::Response& res) {
    ++inFlight_;
    struct Done {
      std::atomic<int>& count;
      ~Done() { --count; }
    } done{inFlight_};
    std::optional<FakeDevice> device = service.authorize(req, res);
    if (!device) return;
    FakeRunsRequest request = translate(req, req.body);
    request.owner = device->ownerId;
    std::optional<FakeRunsResponse> response = handle(request);
    if (!response) return FakeTranscriptionService::refuse(res, 404, "NOT_FOUND");
    if (response->dropConnection) return dropConnection(res);
    res.status = response->status;
    res.set_content(response->body, "application/json");
  };
  service.addRoute("POST", "/api/runs", serve);
  service.addRoute("GET", R"(/api/runs/[^/]+)", serve);
  service.addRoute("GET", R"(/api/runs/[^/]+/chunks)", serve);
  service.addRoute("PUT", R"(/api/runs/[^/]+/chunks/[0-9]+)", serve);
  service.addRoute("POST", R"(/api/runs/[^/]+/finalize)", serve);
  service.addRoute("GET", R"(/api/runs/[^/]+/processing)", serve);
  service.addRoute("POST", R"(/api/runs/[^/]+/process)", serve);
}

void FakeRunsService::install(httplib::Server& server,
                              std::function<std::optional<std::string>(const std::string&)> ownerOfToken) {
  auto serve = [this, ownerOfToken](const httplib::Request& req, httplib::Response& res, std::string body) {
    FakeRunsRequest request = translate(req, std::move(body));
    const std::string authorization = req.get_header_value("Authorization");
    std::optional<std::string> owner;
    if (authorization.rfind("Bearer ", 0) == 0) owner = ownerOfToken(authorization.substr(7));
    if (!owner) {
      res.status = 401;
      res.set_content(json{{"error", "AUTH_REQUIRED"}}.dump(), "application/json");
      return;
    }
    request.owner = *owner;
    std::optional<FakeRunsResponse> response = handle(request);
    if (!response) {
      res.status = 404;
      res.set_content(json{{"error", "NOT_FOUND"}}.dump(), "application/json");
      return;
    }
    if (response->dropConnection) return dropConnection(res);
    res.status = response->status;
    res.set_content(response->body, "application/json");
  };
  auto plain = [serve](const httplib::Request& req, httplib::Response& res) { serve(req, res, req.body); };
  server.Post("/api/runs", plain);
  server.Get(R"(/api/runs/[^/]+)", plain);
  server.Get(R"(/api/runs/[^/]+/chunks)", plain);
  server.Post(R"(/api/runs/[^/]+/finalize)", plain);
  server.Get(R"(/api/runs/[^/]+/processing)", plain);
  server.Post(R"(/api/runs/[^/]+/process)", plain);
  // Parts are read as a stream, at most one part plus one byte, and may be cut off midway.
  server.Put(R"(/api/runs/[^/]+/chunks/[0-9]+)",
             [this, serve](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
               std::optional<std::size_t> drop_after;
               {
                 std::lock_guard lock(mutex_);
                 drop_after = faults_.dropNextPartAfter;
                 faults_.dropNextPartAfter.reset();
               }
               std::string body;
               bool cut = false;
               reader([&](const char* data, std::size_t length) {
                 if (drop_after && body.size() + length >= *drop_after) {
                   cut = true;
                   return false;
                 }
                 if (body.size() + length > static_cast<std::size_t>(partSize) + 1) return false;
                 body.append(data, length);
                 return true;
               });
               if (cut) return dropConnection(res);
               serve(req, res, std::move(body));
             });
}

void FakeRunsService::setFaults(const Faults& faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
}

FakeRunsService::Faults FakeRunsService::faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void FakeRunsService::setJobDelay(std::optional<std::chrono::milliseconds> delay) {
  std::lock_guard lock(mutex_);
  jobDelay_ = delay;
}

void FakeRunsService::completeJob(const std::string& id, const std::string& status) {
  std::lock_guard lock(mutex_);
  auto job = jobs_.find(id);
  if (job != jobs_.end()) job->second.status = status;
}

std::optional<FakeRunsService::RunState> FakeRunsService::run(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto found = runs_.find(id);
  if (found == runs_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> FakeRunsService::jobStatus(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto found = jobs_.find(id);
  if (found == jobs_.end()) return std::nullopt;
  Job job = found->second;
  advanceJob(job);
  return job.status;
}

std::string FakeRunsService::storedFile(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto found = runs_.find(id);
  if (found == runs_.end()) return {};
  std::string whole;
  for (const auto& [seq, part] : found->second.parts) whole += readFile(partPath(id, seq));
  return whole;
}

int FakeRunsService::processRequests(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto found = processRequests_.find(id);
  return found == processRequests_.end() ? 0 : found->second;
}

int FakeRunsService::repeatedParts() const {
  std::lock_guard lock(mutex_);
  return repeatedParts_;
}

void FakeRunsService::waitIdle() const {
  // A request whose body has fully arrived reaches its handler within moments.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  while (inFlight_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

int FakeRunsService::acceptedParts() const {
  std::lock_guard lock(mutex_);
  return acceptedParts_;
}

}  // namespace talvo::testing
