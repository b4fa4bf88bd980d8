#pragma once
// Plays prepared float signals into named sinks of a sound server, for the real-sound tests.
// All streams start corked and are uncorked under one lock, so signals meant to start together
// enter their sinks within the same mainloop iteration.
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/require_component.h"

namespace talvo::testing {

class PulseTestPlayer {
 public:
  static constexpr unsigned rate = 48000;

  explicit PulseTestPlayer(const std::string& server = {}) {
    loop_ = pa_threaded_mainloop_new();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "talvo-test-player");
    try {
      if (pa_context_connect(context_, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) <
              0 ||
          pa_threaded_mainloop_start(loop_) < 0) {
        throw std::runtime_error("cannot reach the sound server");
      }
      waitFor([&] { return pa_context_get_state(context_) == PA_CONTEXT_READY; },
              [&] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)); });
    } catch (...) {
      release();
      throw;
    }
  }

  ~PulseTestPlayer() { release(); }

 private:
  void release() {
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

 public:
  // Queues `signal` (mono, 48 kHz) on a new corked low-latency stream into `sink`.
  void prepare(const std::string& sink, const std::vector<float>& signal) {
    pa_threaded_mainloop_lock(loop_);
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, 1};
    pa_stream* stream = pa_stream_new(context_, "talvo-test-signal", &spec, nullptr);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(signal.size() * sizeof(float) + 65536);
    attributes.tlength = rate / 100 * sizeof(float);  // 10 ms
    attributes.prebuf = 0;
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    pa_stream_connect_playback(
        stream, sink.c_str(), &attributes,
        // DONT_MOVE: a stream on the default sink would otherwise follow a new default
        // along with the recorder, and the tests could not tell them apart.
        static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE),
        nullptr, nullptr);
    streams_.push_back(stream);
    pa_threaded_mainloop_unlock(loop_);
    waitFor([&] { return pa_stream_get_state(stream) == PA_STREAM_READY; },
            [&] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); });
    pa_threaded_mainloop_lock(loop_);
    pa_stream_write(stream, signal.data(), signal.size() * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
    pa_threaded_mainloop_unlock(loop_);
  }

  // Makes `sink` and `source` the server's defaults, as a user plugging in a headset would.
  void setDefaults(const std::string& sink, const std::string& source) {
    pa_threaded_mainloop_lock(loop_);
    pa_operation* a = pa_context_set_default_sink(context_, sink.c_str(), nullptr, nullptr);
    pa_operation* b = pa_context_set_default_source(context_, source.c_str(), nullptr, nullptr);
    pa_threaded_mainloop_unlock(loop_);
    waitFor(
        [&] {
          return pa_operation_get_state(a) != PA_OPERATION_RUNNING && pa_operation_get_state(b) != PA_OPERATION_RUNNING;
        },
        [] { return false; });
    pa_operation_unref(a);
    pa_operation_unref(b);
  }

  // Starts every prepared stream at once.
  void play() {
    pa_threaded_mainloop_lock(loop_);
    for (pa_stream* stream : streams_) {
      if (pa_operation* op = pa_stream_cork(stream, 0, nullptr, nullptr)) {
        pa_operation_unref(op);
      }
    }
    pa_threaded_mainloop_unlock(loop_);
  }

  static std::vector<float> tone(double frequency, double seconds, float amplitude = 0.5f) {
    std::vector<float> signal(static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < signal.size(); ++i) {
      signal[i] = amplitude * static_cast<float>(std::sin(2 * M_PI * frequency * static_cast<double>(i) / rate));
    }
    return signal;
  }

  // Silence with a short burst of `frequency` starting at each of `at` (seconds).
  static std::vector<float> bursts(double frequency, double seconds, const std::vector<double>& at,
                                   double burstSeconds = 0.005) {
    std::vector<float> signal(static_cast<std::size_t>(seconds * rate));
    for (double start : at) {
      auto first = static_cast<std::size_t>(start * rate);
      auto count = static_cast<std::size_t>(burstSeconds * rate);
      for (std::size_t i = 0; i < count && first + i < signal.size(); ++i) {
        signal[first + i] = 0.8f * static_cast<float>(std::sin(2 * M_PI * frequency * static_cast<double>(i) / rate));
      }
    }
    return signal;
  }

 private:
  template <typename Good, typename Bad>
  void waitFor(Good good, Bad bad) {
    for (int i = 0; i < 1000; ++i) {
      pa_threaded_mainloop_lock(loop_);
      bool ok = good();
      bool failed = bad();
      pa_threaded_mainloop_unlock(loop_);
      if (ok) {
        return;
      }
      if (failed) {
        break;
      }
      usleep(5000);
    }
    throw std::runtime_error("sound server did not answer");
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::vector<pa_stream*> streams_;
};

// The variable's value, or `fallback` when it is not set.
inline std::string envOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

inline bool soundServerReachable() {
  try {
    PulseTestPlayer probe;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

#define REQUIRE_SOUND_SERVER()                                      \
  TALVO_REQUIRE_COMPONENT(::talvo::testing::soundServerReachable(), \
                          "no sound server reachable (run through scripts/with-desktop-env)")

// Power of `frequency` in samples[first, first + count) (Goertzel).
inline double tonePower(const std::vector<std::int16_t>& samples, std::size_t first, std::size_t count,
                        double frequency, double rate = 16000) {
  const double coefficient = 2 * std::cos(2 * M_PI * frequency / rate);
  double previous = 0;
  double older = 0;
  for (std::size_t i = first; i < first + count && i < samples.size(); ++i) {
    double current = samples[i] / 32768.0 + coefficient * previous - older;
    older = previous;
    previous = current;
  }
  return previous * previous + older * older - coefficient * previous * older;
}

}  // namespace talvo::testing
