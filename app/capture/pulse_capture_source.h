#pragma once
// A capture source on a PulseAudio record stream: the default output's monitor (everything the
// computer plays) or the default input (the microphone). The server is asked for 32-bit float,
// mono, 16 kHz, so it does the resampling. Blocks are stamped on CLOCK_MONOTONIC at the moment
// their first frame was captured, from the read time minus the duration of what was read,
// de-jittered (ArrivalOriginEstimator), then moved by the device's own latency as the server
// reports it, averaged over seconds (LatencyCorrection). Measured against dating by each read's
// reported latency, this aligned the two sources better and without jumps (capture section of
// bench/README.md).
//
// The stream follows the user's default device: when the default output or input changes during
// a recording it is moved there. A lost server or a killed stream is reported to the engine
// as a lost source at once. A microphone that is in fact an output's monitor (what servers pick
// as default input when there is no microphone) is refused at the start and ends a recording
// when the stream lands on one later.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/capture/arrival_origin_estimator.h"
#include "app/capture/audio_source.h"
#include "app/capture/latency_correction.h"
#include "app/capture/pulse_context.h"

namespace talvo {

class PulseCaptureSource final : public AudioSource, private PulseContext::Listener {
 public:
  enum class Device { monitor, microphone };
  // How a block's first frame is dated: `blockDuration` (read time minus the length of what was
  // read, lower envelope over 2 s, corrected by the averaged device latency) is what the program
  // uses; `arrival` (the same without the correction) and `latency` (read time minus the
  // server's reported latency at each read) are kept for measuring the difference.
  enum class Stamping { blockDuration, latency, arrival };

  PulseCaptureSource(std::shared_ptr<PulseContext> context, Device device, Stamping stamping = Stamping::blockDuration);
  ~PulseCaptureSource() override;

  void start(AudioSourceSink& sink) override;
  void stop() noexcept override;

  // The two sources of a recording on one shared connection.
  static std::pair<std::unique_ptr<AudioSource>, std::unique_ptr<AudioSource>> makePair(
      Stamping stamping = Stamping::blockDuration, const std::string& server = {});

 private:
  static void readCallback(pa_stream* stream, size_t bytes, void* self);
  static void stateCallback(pa_stream* stream, void* self);
  static void sinkInfoCallback(pa_context* context, const pa_sink_info* info, int eol, void* self);
  static void sourceInfoCallback(pa_context* context, const pa_source_info* info, int eol, void* self);
  static void movedCallback(pa_stream* stream, void* self);
  void cancelLookup();
  void lookupEnded();
  void contextLost() override;
  void defaultsChanged(const std::string& sink, const std::string& source) override;
  void moveTo(const std::string& sourceName);
  struct Segment {
    std::int64_t frame;  // position in the stream (frames read since the timing was reset)
    std::size_t offset;  // where its samples start in block_
    std::size_t count;
  };
  static void timingCallback(pa_stream* stream, void* self);
  static void timingInfoCallback(pa_stream* stream, int success, void* self);
  void requestTimingInfo(double now);
  void deliverPending();
  void readFormat();
  void resetTiming();
  void lost();
  void release();  // with the lock held

  std::shared_ptr<PulseContext> context_;
  Device device_;
  Stamping stamping_;
  AudioSourceSink* sink_ = nullptr;
  pa_stream* stream_ = nullptr;
  pa_operation* pendingLookup_ = nullptr;
  pa_operation* pendingTiming_ = nullptr;
  double lastTimingRequest_ = 0;
  bool lostReported_ = false;
  std::vector<float> block_;
  std::vector<Segment> segments_;
  std::int64_t framesRead_ = 0;
  // Read but not yet delivered: contiguous frames from stream position pendingFrame_.
  std::vector<float> pending_;
  std::int64_t pendingFrame_ = 0;
  double origin_ = 0;
  unsigned channels_ = 0;  // 1 when the server delivers what was asked, else 0
  double sampleRate_ = 0;  // capture time of stream position 0, as last estimated
  ArrivalOriginEstimator arrivals_;
  LatencyCorrection latency_;
};

}  // namespace talvo
