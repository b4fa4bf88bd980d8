#pragma once
// One connection to the sound server (PulseAudio, or PipeWire through pipewire-pulse) shared by
// the two record streams of a recording: one pa_threaded_mainloop, and every libpulse call made
// with its lock held. The context tells its streams when the server goes away and when the
// user picks another default output or input, so a recording can follow headphones or a
// headset instead of ending.
#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talvo {

class PulseContext {
 public:
  // Called on the mainloop thread with the lock held.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void contextLost() = 0;
    virtual void defaultsChanged(const std::string& sink, const std::string& source) = 0;
    // A source or a recording stream came, went or changed (only after watchRecordingStreams()).
    virtual void recordingStreamsChanged() {}
  };

  // Holds the mainloop lock for its scope (not on the mainloop thread itself).
  class Lock {
   public:
    explicit Lock(PulseContext& context) : loop_(context.loop_) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // `server`: a server address as PULSE_SERVER takes it; empty for the user's default server.
  explicit PulseContext(std::string server = {});
  ~PulseContext();
  PulseContext(const PulseContext&) = delete;
  PulseContext& operator=(const PulseContext&) = delete;

  // Connects on first use (waits up to `timeoutSeconds` for the server). Call without the lock.
  // Throws CaptureFailure::audio(failureName, libpulse error code).
  void connect(const std::string& failureName, double timeoutSeconds = 5);

  // With the lock held:
  pa_context* context() const noexcept { return context_; }
  bool alive() const noexcept;
  void addListener(Listener* listener);
  void removeListener(Listener* listener);
  // Asks the server to tell of every source and recording stream that comes, goes or changes
  // (the listeners hear it); false when the server did not agree in time.
  bool watchRecordingStreams(double timeoutSeconds = 5);
  // Releases the lock for a short while so the mainloop can run (used by waits with a deadline).
  void pause() noexcept;
  // Waits for `operation` (and unrefs it); not on the mainloop thread. False when it failed, the server went away or
  // the deadline passed; the operation is then cancelled, so its callback never runs later.
  bool await(pa_operation* operation, double timeoutSeconds = 5);
  // The monitor source of the server's default output, asked by name: PipeWire's server does
  // not know "@DEFAULT_MONITOR@" and records the default input in its place. Empty when there
  // is no default output or no answer.
  std::string defaultMonitorSource(double timeoutSeconds = 5);
  // Whether source `index` is some output's monitor (so it carries the computer's sound, not a
  // microphone); none when the server does not answer.
  std::optional<bool> sourceIsMonitor(std::uint32_t index, double timeoutSeconds = 5);

 private:
  static void stateCallback(pa_context* context, void* self);
  static void subscribeCallback(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
  static void serverInfoCallback(pa_context* context, const pa_server_info* info, void* self);
  void requestServerInfo();

  std::string server_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool lostReported_ = false;
  std::string defaultSink_;
  std::string defaultSource_;
  std::vector<Listener*> listeners_;
};

}  // namespace talvo
