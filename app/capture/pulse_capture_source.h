#pragma once
// A capture source on a PulseAudio record stream: the default output's monitor (everything the
// computer plays) or the default input (the microphone). The server is asked for 32-bit float,
// mono, 16 kHz, so it does the resampling. Blocks are stamped on CLOCK_MONOTONIC at the moment
// their first frame was captured: read time minus the stream's reported latency.
//
// The stream follows the user's default device: when the default output or input changes during
// a recording it is moved there. A lost server or a killed stream is reported to the engine
// as a lost source at once.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/capture/audio_source.h"
#include "app/capture/pulse_context.h"

namespace talvo {

class PulseCaptureSource final : public AudioSource, private PulseContext::Listener {
 public:
  enum class Device { monitor, microphone };
  // How a block's first frame is dated. `latency` is what the program uses; `blockDuration`
  // (read time minus the block's own length) is kept for measuring the difference.
  enum class Stamping { latency, blockDuration };

  PulseCaptureSource(std::shared_ptr<PulseContext> context, Device device, Stamping stamping = Stamping::latency);
  ~PulseCaptureSource() override;

  void start(AudioSourceSink& sink) override;
  void stop() noexcept override;

  // The two sources of a recording on one shared connection.
  static std::pair<std::unique_ptr<AudioSource>, std::unique_ptr<AudioSource>> makePair(
      Stamping stamping = Stamping::latency);

 private:
  static void readCallback(pa_stream* stream, size_t bytes, void* self);
  static void stateCallback(pa_stream* stream, void* self);
  static void sinkInfoCallback(pa_context* context, const pa_sink_info* info, int eol, void* self);
  void contextLost() override;
  void defaultsChanged(const std::string& sink, const std::string& source) override;
  void moveTo(const std::string& sourceName);
  void deliver(double stamp);
  void lost();
  void release();  // with the lock held

  std::shared_ptr<PulseContext> context_;
  Device device_;
  Stamping stamping_;
  AudioSourceSink* sink_ = nullptr;
  pa_stream* stream_ = nullptr;
  pa_operation* pendingLookup_ = nullptr;
  bool lostReported_ = false;
  std::vector<float> block_;
};

}  // namespace talvo
