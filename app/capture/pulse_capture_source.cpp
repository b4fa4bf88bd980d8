#include "app/capture/pulse_capture_source.h"

#include <algorithm>
#include <cstring>

#include "app/capture/capture_clock.h"
#include "app/capture/capture_failure.h"

namespace talvo {
namespace {

constexpr std::uint32_t rate = 16000;
constexpr std::size_t frameBytes = sizeof(float);
// One fragment per 0.1 s, the engine's flush cadence: smaller ones only cost wake-ups, and the
// hand-off to the engine holds at most 8 blocks.
constexpr std::uint32_t fragmentBytes = rate / 10 * frameBytes;
// A backlog read in one go is delivered in pieces of at most one second.
constexpr std::size_t maximumDeliveryFrames = rate;
constexpr double startTimeoutSeconds = 5;

}  // namespace

PulseCaptureSource::PulseCaptureSource(std::shared_ptr<PulseContext> context, Device device, Stamping stamping)
    : context_(std::move(context)), device_(device), stamping_(stamping) {}

PulseCaptureSource::~PulseCaptureSource() { stop(); }

std::pair<std::unique_ptr<AudioSource>, std::unique_ptr<AudioSource>> PulseCaptureSource::makePair(Stamping stamping) {
  auto context = std::make_shared<PulseContext>();
  return {std::make_unique<PulseCaptureSource>(context, Device::monitor, stamping),
          std::make_unique<PulseCaptureSource>(context, Device::microphone, stamping)};
}

void PulseCaptureSource::start(AudioSourceSink& sink) {
  const std::string failureName = device_ == Device::monitor ? "захват компьютера" : "микрофон";
  context_->connect(failureName);
  PulseContext::Lock lock(*context_);
  if (stream_ != nullptr) {
    return;
  }
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, 1};
  pa_proplist* properties = pa_proplist_new();
  // Deliberately no media.role: a "phone" role makes servers switch a headset to its call
  // profile, which ruins the user's sound.
  pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, device_ == Device::monitor ? "TALVO computer sound" : "TALVO microphone");
  stream_ = pa_stream_new_with_proplist(context_->context(), device_ == Device::monitor ? "computer" : "microphone", &spec,
                                        nullptr, properties);
  pa_proplist_free(properties);
  if (stream_ == nullptr) {
    throw CaptureFailure::audio(failureName, -pa_context_errno(context_->context()));
  }
  sink_ = &sink;
  lostReported_ = false;
  pa_stream_set_read_callback(stream_, &PulseCaptureSource::readCallback, this);
  pa_stream_set_state_callback(stream_, &PulseCaptureSource::stateCallback, this);
  context_->addListener(this);

  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = fragmentBytes;
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                    PA_STREAM_AUTO_TIMING_UPDATE);
  const char* deviceName = device_ == Device::monitor ? "@DEFAULT_MONITOR@" : "@DEFAULT_SOURCE@";
  if (pa_stream_connect_record(stream_, deviceName, &attributes, flags) < 0) {
    int code = pa_context_errno(context_->context());
    release();
    throw CaptureFailure::audio(failureName, -code);
  }
  const double deadline = monotonicSeconds() + startTimeoutSeconds;
  for (;;) {
    pa_stream_state_t state = stream_ != nullptr ? pa_stream_get_state(stream_) : PA_STREAM_FAILED;
    if (state == PA_STREAM_READY) {
      break;
    }
    if (!PA_STREAM_IS_GOOD(state) || monotonicSeconds() > deadline) {
      int code = state == PA_STREAM_FAILED ? pa_context_errno(context_->context()) : PA_ERR_TIMEOUT;
      release();
      throw CaptureFailure::audio(failureName, -(code != 0 ? code : PA_ERR_UNKNOWN));
    }
    context_->pause();
  }
}

void PulseCaptureSource::stop() noexcept {
  PulseContext::Lock lock(*context_);
  release();
}

void PulseCaptureSource::release() {
  context_->removeListener(this);
  if (pendingLookup_ != nullptr) {
    pa_operation_cancel(pendingLookup_);
    pa_operation_unref(pendingLookup_);
    pendingLookup_ = nullptr;
  }
  if (stream_ != nullptr) {
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
      pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  sink_ = nullptr;
}

void PulseCaptureSource::readCallback(pa_stream* stream, size_t, void* self) {
  auto* me = static_cast<PulseCaptureSource*>(self);
  if (me->sink_ == nullptr) {
    return;
  }
  me->block_.clear();
  double stamp = 0;
  for (;;) {
    const std::size_t readable = pa_stream_readable_size(stream);
    if (readable == 0 || readable == static_cast<std::size_t>(-1)) {
      break;
    }
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
      break;  // an empty peek: nothing to read and nothing to drop
    }
    if (data == nullptr) {
      // A hole: the server lost data here, so what follows is not contiguous with what came
      // before. Drop it and date the rest afresh.
      me->deliver(stamp);
      pa_stream_drop(stream);
      continue;
    }
    if (me->block_.empty()) {
      // The block's first frame is the oldest unread one; the latency must be read before
      // pa_stream_drop moves the read index.
      const double now = monotonicSeconds();
      double age = static_cast<double>(readable / frameBytes) / rate;
      if (me->stamping_ == Stamping::latency) {
        pa_usec_t latency = 0;
        int negative = 0;
        // No timing data yet on the first callbacks: fall back to the block's own length.
        if (pa_stream_get_latency(stream, &latency, &negative) == 0) {
          age = (negative ? -1.0 : 1.0) * static_cast<double>(latency) / 1e6;
        }
      }
      stamp = now - age;
    }
    const std::size_t count = bytes / frameBytes;
    const std::size_t old = me->block_.size();
    me->block_.resize(old + count);
    std::memcpy(me->block_.data() + old, data, count * frameBytes);
    pa_stream_drop(stream);
  }
  me->deliver(stamp);
}

void PulseCaptureSource::deliver(double stamp) {
  std::size_t offset = 0;
  const pa_sample_spec* spec = pa_stream_get_sample_spec(stream_);
  const bool asked = spec != nullptr && spec->format == PA_SAMPLE_FLOAT32LE && spec->channels == 1;
  while (offset < block_.size() && sink_ != nullptr) {
    AudioBlock block;
    block.samples = block_.data() + offset;
    block.frames = std::min(maximumDeliveryFrames, block_.size() - offset);
    // A server that ignored the requested format is passed on as such; the engine refuses it.
    block.channels = asked ? 1 : 0;
    block.sampleRate = spec != nullptr ? spec->rate : 0;
    block.hostSeconds = stamp + static_cast<double>(offset) / rate;
    sink_->audioBlock(block);
    offset += block.frames;
  }
  block_.clear();
}

void PulseCaptureSource::stateCallback(pa_stream* stream, void* self) {
  pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    static_cast<PulseCaptureSource*>(self)->lost();
  }
}

void PulseCaptureSource::contextLost() { lost(); }

void PulseCaptureSource::lost() {
  if (sink_ != nullptr && !lostReported_) {
    lostReported_ = true;
    sink_->sourceLost();
  }
}

void PulseCaptureSource::defaultsChanged(const std::string& sink, const std::string& source) {
  if (stream_ == nullptr) {
    return;
  }
  if (device_ == Device::microphone) {
    moveTo(source);
    return;
  }
  // The monitor of the new default output is named by the sink's description.
  if (pendingLookup_ != nullptr) {
    pa_operation_cancel(pendingLookup_);
    pa_operation_unref(pendingLookup_);
  }
  pendingLookup_ = pa_context_get_sink_info_by_name(context_->context(), sink.c_str(),
                                                    &PulseCaptureSource::sinkInfoCallback, this);
}

void PulseCaptureSource::sinkInfoCallback(pa_context*, const pa_sink_info* info, int eol, void* self) {
  auto* me = static_cast<PulseCaptureSource*>(self);
  if (eol != 0 || info == nullptr) {
    if (me->pendingLookup_ != nullptr) {
      pa_operation_unref(me->pendingLookup_);
      me->pendingLookup_ = nullptr;
    }
    return;
  }
  if (info->monitor_source_name != nullptr) {
    me->moveTo(info->monitor_source_name);
  }
}

void PulseCaptureSource::moveTo(const std::string& sourceName) {
  if (stream_ == nullptr || sourceName.empty()) {
    return;
  }
  const char* current = pa_stream_get_device_name(stream_);
  if (current != nullptr && sourceName == current) {
    return;  // the server already moved it
  }
  if (pa_operation* op = pa_context_move_source_output_by_name(context_->context(), pa_stream_get_index(stream_),
                                                               sourceName.c_str(), nullptr, nullptr)) {
    pa_operation_unref(op);
  }
}

}  // namespace talvo
