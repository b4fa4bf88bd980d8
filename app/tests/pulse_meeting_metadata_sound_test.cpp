// The meeting-process sampler against a real sound server of the test's own: recording streams
// of other "processes" (clients announcing their own process id and executable), corked streams,
// streams on a monitor, the program's own streams, and the server going away.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/reminders/pulse_meeting_metadata.h"
#include "app/tests/private_sound_server.h"
#include "testing/require_component.h"

namespace talvo {
namespace {

using testing::PrivateSoundServer;

// One client of the server with the identity of another process, recording from sources.
class FakeRecordingClient {
 public:
  FakeRecordingClient(const std::string& server, const std::string& pid, const std::string& binary,
                      const std::string& applicationId = {}) {
    loop_ = pa_threaded_mainloop_new();
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_PROCESS_ID, pid.c_str());
    pa_proplist_sets(properties, PA_PROP_APPLICATION_PROCESS_BINARY, binary.c_str());
    if (!applicationId.empty()) pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, applicationId.c_str());
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), binary.c_str(), properties);
    pa_proplist_free(properties);
    pa_context_connect(context_, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr);
    pa_threaded_mainloop_start(loop_);
    waitUntil([&] { return pa_context_get_state(context_) == PA_CONTEXT_READY; });
  }

  ~FakeRecordingClient() {
    pa_threaded_mainloop_lock(loop_);
    for (pa_stream* stream : streams_) {
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
    }
    pa_context_disconnect(context_);
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
  }

  // A record stream on `source`, running or corked; returns once the server has it.
  void record(const std::string& source, bool corked = false) {
    pa_threaded_mainloop_lock(loop_);
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 16000, 1};
    pa_stream* stream = pa_stream_new(context_, "call", &spec, nullptr);
    pa_stream_connect_record(stream, source.c_str(), nullptr, corked ? PA_STREAM_START_CORKED : PA_STREAM_NOFLAGS);
    streams_.push_back(stream);
    pa_threaded_mainloop_unlock(loop_);
    waitUntil([&] { return pa_stream_get_state(stream) == PA_STREAM_READY; });
  }

 private:
  template <typename Condition>
  void waitUntil(Condition condition) {
    for (int i = 0; i < 500; ++i) {
      pa_threaded_mainloop_lock(loop_);
      bool done = condition();
      pa_threaded_mainloop_unlock(loop_);
      if (done) return;
      usleep(10000);
    }
    throw std::runtime_error("the sound server did not answer in time");
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::vector<pa_stream*> streams_;
};

bool serverAvailable() {
  try {
    PrivateSoundServer probe;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

class PulseMeetingMetadataSound : public ::testing::Test {
 protected:
  void SetUp() override {
    TALVO_REQUIRE_COMPONENT(serverAvailable(), "pulseaudio cannot be started here");
    server = std::make_unique<PrivateSoundServer>();
  }

  static std::vector<std::int32_t> pids(const std::vector<AudioInputProcess>& processes) {
    std::vector<std::int32_t> result;
    for (const auto& process : processes) result.push_back(process.pid);
    std::sort(result.begin(), result.end());
    return result;
  }

  std::unique_ptr<PrivateSoundServer> server;
};

TEST_F(PulseMeetingMetadataSound, OnlyRunningMicrophoneStreamsOfOtherProcessesOncePerProcess) {
  PulseMeetingMetadata metadata(server->address());
  EXPECT_TRUE(metadata.snapshot().empty());

  FakeRecordingClient zoom(server->address(), "4001", "zoom");
  zoom.record("virtmic");
  zoom.record("virtmic");  // a second stream of the same process
  FakeRecordingClient flatpak(server->address(), "4002", "zoom.real", "us.zoom.Zoom");
  flatpak.record("virtmic");
  FakeRecordingClient paused(server->address(), "4003", "chrome");
  paused.record("virtmic", true);
  FakeRecordingClient monitor(server->address(), "4004", "firefox");
  monitor.record("speakers.monitor");
  FakeRecordingClient ownHelper(server->address(), "4005", "talvo-capture", "pro.talvo.recorder");
  ownHelper.record("virtmic");
  FakeRecordingClient self(server->address(), std::to_string(getpid()), "talvo");
  self.record("virtmic");
  FakeRecordingClient nameless(server->address(), "not-a-pid", "msedge");
  nameless.record("virtmic");

  std::vector<AudioInputProcess> processes = metadata.snapshot();
  ASSERT_EQ(pids(processes), (std::vector<std::int32_t>{4001, 4002}));
  auto flatpakEntry = std::find_if(processes.begin(), processes.end(), [](auto& p) { return p.pid == 4002; });
  EXPECT_EQ(flatpakEntry->binary, "zoom.real");
  EXPECT_EQ(flatpakEntry->applicationId, "us.zoom.Zoom");
}

// The server tells of every stream that comes or goes, so unchanged polls need not ask it.
TEST_F(PulseMeetingMetadataSound, AStreamThatComesOrGoesMarksTheListChanged) {
  PulseMeetingMetadata metadata(server->address());
  EXPECT_TRUE(metadata.mayHaveChanged());  // nothing read yet
  EXPECT_TRUE(metadata.snapshot().empty());
  EXPECT_FALSE(metadata.mayHaveChanged());

  // Until the server's events have settled, each list may be followed by another change.
  auto settle = [&] {
    for (int i = 0; i < 200 && metadata.mayHaveChanged(); ++i) {
      metadata.snapshot();
      usleep(20000);
    }
  };
  auto waitForChange = [&] {
    for (int i = 0; i < 500 && !metadata.mayHaveChanged(); ++i) usleep(10000);
    return metadata.mayHaveChanged();
  };
  {
    FakeRecordingClient zoom(server->address(), "4001", "zoom");
    zoom.record("virtmic");
    ASSERT_TRUE(waitForChange());
    EXPECT_EQ(pids(metadata.snapshot()), std::vector<std::int32_t>{4001});
    settle();
    EXPECT_FALSE(metadata.mayHaveChanged());
  }
  ASSERT_TRUE(waitForChange());  // the call ended
  EXPECT_TRUE(metadata.snapshot().empty());
  settle();

  server.reset();  // the server goes away
  ASSERT_TRUE(waitForChange());
  EXPECT_THROW(metadata.snapshot(), std::runtime_error);
  EXPECT_TRUE(metadata.mayHaveChanged());
}

// Sandboxed clients report process ids of their own namespace, so two Flatpak applications may
// both say 2: streams are merged per client of the server, not per reported id.
TEST_F(PulseMeetingMetadataSound, SandboxedClientsReportingTheSameIdStaySeparate) {
  PulseMeetingMetadata metadata(server->address());
  FakeRecordingClient chrome(server->address(), "2", "chrome", "com.google.Chrome");
  chrome.record("virtmic");
  FakeRecordingClient zoom(server->address(), "2", "zoom", "us.zoom.Zoom");
  zoom.record("virtmic");
  zoom.record("virtmic");
  std::multiset<std::string> ids;
  for (const AudioInputProcess& process : metadata.snapshot()) ids.insert(process.applicationId);
  EXPECT_EQ(ids, (std::multiset<std::string>{"com.google.Chrome", "us.zoom.Zoom"}));
}

TEST_F(PulseMeetingMetadataSound, AServerThatGoesAwayFailsTheWholeSample) {
  PulseMeetingMetadata metadata(server->address());
  {
    FakeRecordingClient zoom(server->address(), "4001", "zoom");
    zoom.record("virtmic");
    EXPECT_EQ(pids(metadata.snapshot()), std::vector<std::int32_t>{4001});
  }
  server->kill();
  EXPECT_THROW(metadata.snapshot(), std::runtime_error);
  EXPECT_THROW(metadata.snapshot(), std::runtime_error);  // and keeps failing, without hanging
}

TEST(PulseMeetingMetadataNoServer, NoServerAtAllIsAFailureNotAnEmptyList) {
  PulseMeetingMetadata metadata("unix:/nonexistent/talvo-test/native");
  EXPECT_THROW(metadata.snapshot(), std::runtime_error);
}

}  // namespace
}  // namespace talvo
