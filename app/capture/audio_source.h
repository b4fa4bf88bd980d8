#pragma once
// One sound source of a recording (the computer's output or the microphone), as the capture
// engine sees it: it starts, delivers blocks of float samples stamped on the host clock, may be
// lost, and stops. The engine knows nothing of the sound server behind it, so tests can feed it
// synthetic blocks and the Linux build feeds it PulseAudio record streams.
#include <cstddef>

namespace talvo {

// A block as the device delivered it. `samples` holds frames × channels interleaved values and
// is only valid during the call.
struct AudioBlock {
  const float* samples = nullptr;
  std::size_t frames = 0;
  unsigned channels = 0;
  double sampleRate = 0;
  // CLOCK_MONOTONIC seconds at which the first frame was captured; 0 when unknown.
  double hostSeconds = 0;
};

// Where a running source sends what it has. Called on the source's own thread; implementations
// must not block for long (the engine only copies and hands over).
class AudioSourceSink {
 public:
  virtual ~AudioSourceSink() = default;
  virtual void audioBlock(const AudioBlock& block) = 0;
  // The source ended on its own (server gone, stream killed, device removed without a
  // replacement). No blocks follow until a new start.
  virtual void sourceLost() = 0;
};

class AudioSource {
 public:
  virtual ~AudioSource() = default;
  // Begins delivering to `sink` and returns once blocks can flow. Throws CaptureFailure.
  virtual void start(AudioSourceSink& sink) = 0;
  // Ends delivery: when it returns, the sink is not called again. Safe to call twice, or
  // after a failed start.
  virtual void stop() noexcept = 0;
};

}  // namespace talvo
