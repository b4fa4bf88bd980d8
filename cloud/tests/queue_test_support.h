#pragma once
// Small helpers shared by the queue suites.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "cloud/cloud_failure.h"
#include "core/system/posix_file.h"
#include "core/system/unique_fd.h"
#include "testing/stepped_clock.h"
#include "testing/temp_directory.h"

namespace talvo::testing {

// Deterministic bytes that differ from part to part, so a mixed-up part is noticed.
inline std::string recordingBytes(std::int64_t size, unsigned seed = 1) {
  std::string data(static_cast<std::size_t>(size), '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : data) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  return data;
}

inline void writeRecording(const std::string& directory, const std::string& id, const std::string& data) {
  writeWholeFile(directory + "/" + id + ".wav", data, 0600);
}

// The code of the CloudFailure `action` throws ("" when it throws nothing, "other" for any other error).
template <typename Action>
std::string failureCode(Action&& action) {
  try {
    action();
  } catch (const CloudFailure& failure) {
    return failure.code();
  } catch (...) {
    return "other";
  }
  return "";
}

}  // namespace talvo::testing

#include <atomic>
#include <memory>

#include "cloud/desktop_upload_queue.h"
#include "testing/queue_direct_cloud.h"
#include "testing/fake_runs_service.h"

namespace talvo::testing {

// A queue over a private recordings directory, the fake runs service reached directly, and a
// clock the test moves by hand.
struct QueueWorld {
  TempDirectory recordings;
  TempDirectory storage;
  FakeRunsService service{storage.path()};
  QueueDirectCloud cloud{service};
  std::shared_ptr<std::atomic<std::int64_t>> seconds = std::make_shared<std::atomic<std::int64_t>>(1796638500);
  DesktopUploadQueue queue{recordings.path(), cloud,
                           wallReadings([s = seconds] { return WallTime(std::chrono::seconds(s->load())); })};

  void advance(std::int64_t by) { *seconds += by; }
  double now() const { return static_cast<double>(seconds->load()); }

  // A finished recording of `size` bytes owned by the connected account; returns its id.
  std::string record(std::int64_t size, bool interrupted = false, unsigned seed = 1) {
    std::string id = queue.prepare();
    writeRecording(recordings.path(), id, recordingBytes(size, seed));
    queue.finish(id, interrupted);
    return id;
  }
  DesktopQueueItem item(const std::string& id) const { return queue.directory().load(id); }
  std::string local(const std::string& id) const { return readWholeFile(recordings.file(id + ".wav")); }
};

}  // namespace talvo::testing
