#include "app/capture/pulse_capture_source.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "app/capture/capture_failure.h"
#include "core/system/clock.h"

namespace talvo {
namespace {

constexpr std::uint32_t rate = 16000;
constexpr std::size_t frameBytes = sizeof(float);
// Servers deliver in pieces of a few milliseconds (as small as one frame) whatever fragment
// size is asked for. Contiguous pieces are gathered into blocks of 0.1 s, the engine's flush
// cadence: its hand-off holds at most 30 blocks, which must not fill up in a burst of tiny ones.
constexpr std::uint32_t fragmentBytes = rate / 10 * frameBytes;
constexpr std::size_t deliveryFrames = rate / 10;
// A backlog read in one go is delivered in pieces of at most one second.
constexpr std::size_t maximumDeliveryFrames = rate;
constexpr double startTimeoutSeconds = 5;
// How often the device latency is asked for (one server round trip each): often enough that
// the average is not led by a few readings of a latency that moves in a sawtooth.
constexpr double timingIntervalSeconds = 0.25;

}  // namespace

PulseCaptureSource::PulseCaptureSource(std::shared_ptr<PulseContext> context, Device device, Stamping stamping)
    : context_(std::move(context)), device_(device), stamping_(stamping), arrivals_(rate) {}

PulseCaptureSource::~PulseCaptureSource() { stop(); }

std::pair<std::unique_ptr<AudioSource>, std::unique_ptr<AudioSource>> PulseCaptureSource::makePair(
    Stamping stamping, const std::string& server) {
  auto context = std::make_shared<PulseContext>(server);
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
  const char* streamName = device_ == Device::monitor ? "TALVO computer sound" : "TALVO microphone";
  stream_ = pa_stream_new_with_proplist(context_->context(), streamName, &spec, nullptr, properties);
  pa_proplist_free(properties);
  if (stream_ == nullptr) {
    throw CaptureFailure::audio(failureName, -pa_context_errno(context_->context()));
  }
  sink_ = &sink;
  lostReported_ = false;
  pa_stream_set_read_callback(stream_, &PulseCaptureSource::readCallback, this);
  pa_stream_set_state_callback(stream_, &PulseCaptureSource::stateCallback, this);
  // After a move or a suspend, positions no longer follow from arrival times as before. (The
  // overflow callback is for playback streams; libpulse never calls it on a record stream.)
  pa_stream_set_moved_callback(stream_, &PulseCaptureSource::movedCallback, this);
  pa_stream_set_suspended_callback(stream_, &PulseCaptureSource::timingCallback, this);
  resetTiming();
  context_->addListener(this);

  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = fragmentBytes;
  // ADJUST_LATENCY makes the device run at about the fragment's latency: without it a device
  // left at its maximum (2 s with timer scheduling) would hand over data too late for the
  // engine's 0.5 s window. Timing updates (server round trips ten times a second) are only
  // needed when dating by the reported latency.
  auto flags = PA_STREAM_ADJUST_LATENCY;
  if (stamping_ == Stamping::latency) {
    flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
  }
  std::string deviceName = "@DEFAULT_SOURCE@";
  if (device_ == Device::monitor) {
    deviceName = context_->defaultMonitorSource();
    if (deviceName.empty()) {
      int code = context_->alive() ? PA_ERR_NOENTITY : pa_context_errno(context_->context());
      release();
      throw CaptureFailure::audio(failureName, -(code != 0 ? code : PA_ERR_UNKNOWN));
    }
  }
  if (pa_stream_connect_record(stream_, deviceName.c_str(), &attributes, flags) < 0) {
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
  // Where there is no real microphone the server makes an output's monitor the default input;
  // recording it would mix the computer's sound in twice. Such an input counts as no microphone.
  if (device_ == Device::microphone) {
    std::optional<bool> monitor = context_->sourceIsMonitor(pa_stream_get_device_index(stream_));
    if (!monitor || *monitor) {
      int code = !monitor && !context_->alive() ? PA_ERR_CONNECTIONTERMINATED : PA_ERR_NOENTITY;
      release();
      throw CaptureFailure::audio(failureName, -code);
    }
  }
  readFormat();
}

void PulseCaptureSource::readFormat() {
  // A server that ignored the requested format is passed on as such; the engine refuses it.
  const pa_sample_spec* actual = stream_ != nullptr ? pa_stream_get_sample_spec(stream_) : nullptr;
  channels_ = actual != nullptr && actual->format == PA_SAMPLE_FLOAT32LE && actual->channels == 1 ? 1 : 0;
  sampleRate_ = actual != nullptr ? actual->rate : 0;
}

void PulseCaptureSource::stop() noexcept {
  PulseContext::Lock lock(*context_);
  if (!pending_.empty()) {
    deliverPending();  // the engine still takes audio up to its end time
  }
  release();
}

void PulseCaptureSource::release() {
  context_->removeListener(this);
  cancelLookup();
  if (pendingTiming_ != nullptr) {
    pa_operation_cancel(pendingTiming_);
    pa_operation_unref(pendingTiming_);
    pendingTiming_ = nullptr;
  }
  if (stream_ != nullptr) {
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
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
  const double now = monotonicSeconds();
  me->block_.clear();
  me->segments_.clear();
  std::optional<double> latencyOrigin;
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
      break;  // an empty peek: nothing (more) to read and nothing to drop
    }
    if (me->stamping_ == Stamping::latency && !latencyOrigin) {
      // The latency is the age of the oldest unread frame; it must be read before
      // pa_stream_drop moves the read index. Without timing data yet (first callbacks) the
      // arrival estimate below stands in.
      pa_usec_t latency = 0;
      int negative = 0;
      if (pa_stream_get_latency(stream, &latency, &negative) == 0) {
        const double age = (negative ? -1.0 : 1.0) * static_cast<double>(latency) / 1e6;
        latencyOrigin = monotonicSeconds() - age - static_cast<double>(me->framesRead_) / rate;
      }
    }
    const auto frames = static_cast<std::int64_t>(bytes / frameBytes);
    if (data == nullptr) {
      // A hole: the server lost this much here. It is skipped, and what follows keeps its
      // true position after it.
      me->framesRead_ += frames;
      pa_stream_drop(stream);
      continue;
    }
    if (me->segments_.empty() ||
        me->segments_.back().frame + static_cast<std::int64_t>(me->segments_.back().count) != me->framesRead_) {
      me->segments_.push_back({me->framesRead_, me->block_.size(), 0});
    }
    const std::size_t old = me->block_.size();
    me->block_.resize(old + static_cast<std::size_t>(frames));
    std::memcpy(me->block_.data() + old, data, static_cast<std::size_t>(frames) * frameBytes);
    me->segments_.back().count += static_cast<std::size_t>(frames);
    me->framesRead_ += frames;
    pa_stream_drop(stream);
  }
  if (me->segments_.empty()) {
    return;
  }
  if (me->stamping_ == Stamping::blockDuration) {
    me->requestTimingInfo(now);
  }
  me->origin_ = latencyOrigin ? *latencyOrigin : me->arrivals_.update(now, me->framesRead_);
  for (const Segment& segment : me->segments_) {
    if (!me->pending_.empty() && me->pendingFrame_ + static_cast<std::int64_t>(me->pending_.size()) != segment.frame) {
      me->deliverPending();
    }
    if (me->pending_.empty()) {
      me->pendingFrame_ = segment.frame;
    }
    me->pending_.insert(me->pending_.end(), me->block_.begin() + static_cast<std::ptrdiff_t>(segment.offset),
                        me->block_.begin() + static_cast<std::ptrdiff_t>(segment.offset + segment.count));
  }
  if (me->pending_.size() >= deliveryFrames) {
    me->deliverPending();
  }
}

void PulseCaptureSource::resetTiming() {
  // What was read under the old timing goes out dated by it.
  if (!pending_.empty()) {
    deliverPending();
  }
  arrivals_.reset();
  latency_.reset();
  framesRead_ = 0;
}

void PulseCaptureSource::requestTimingInfo(double now) {
  if (pendingTiming_ != nullptr || now - lastTimingRequest_ < timingIntervalSeconds) {
    return;
  }
  lastTimingRequest_ = now;
  pendingTiming_ = pa_stream_update_timing_info(stream_, &PulseCaptureSource::timingInfoCallback, this);
}

void PulseCaptureSource::timingInfoCallback(pa_stream* stream, int success, void* self) {
  auto* me = static_cast<PulseCaptureSource*>(self);
  if (me->pendingTiming_ != nullptr) {
    pa_operation_unref(me->pendingTiming_);
    me->pendingTiming_ = nullptr;
  }
  const pa_timing_info* timing = success ? pa_stream_get_timing_info(stream) : nullptr;
  if (timing != nullptr) {
    // sink_usec is the monitored output's latency on a monitor, zero on a real input.
    me->latency_.update(monotonicSeconds(), static_cast<double>(timing->source_usec) / 1e6,
                        static_cast<double>(timing->sink_usec) / 1e6);
  }
}

void PulseCaptureSource::deliverPending() {
  if (sampleRate_ == 0) {
    readFormat();  // data can come before start() has seen the stream ready
  }
  const double correction = stamping_ == Stamping::blockDuration ? latency_.offset() : 0;
  const double stamp = origin_ + static_cast<double>(pendingFrame_) / rate - correction;
  std::size_t offset = 0;
  while (offset < pending_.size() && sink_ != nullptr) {
    AudioBlock block;
    block.samples = pending_.data() + offset;
    block.frames = std::min(maximumDeliveryFrames, pending_.size() - offset);
    block.channels = channels_;
    block.sampleRate = sampleRate_;
    block.hostSeconds = stamp + static_cast<double>(offset) / rate;
    sink_->audioBlock(block);
    offset += block.frames;
  }
  pending_.clear();
}

void PulseCaptureSource::stateCallback(pa_stream* stream, void* self) {
  pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    static_cast<PulseCaptureSource*>(self)->lost();
  }
}

void PulseCaptureSource::timingCallback(pa_stream*, void* self) {
  static_cast<PulseCaptureSource*>(self)->resetTiming();
}

void PulseCaptureSource::movedCallback(pa_stream* stream, void* self) {
  auto* me = static_cast<PulseCaptureSource*>(self);
  me->resetTiming();
  // The server may move the microphone's stream on its own (its device gone) onto a monitor.
  if (me->device_ == Device::microphone) {
    me->cancelLookup();
    me->pendingLookup_ = pa_context_get_source_info_by_index(
        me->context_->context(), pa_stream_get_device_index(stream), &PulseCaptureSource::sourceInfoCallback, me);
  }
}

void PulseCaptureSource::cancelLookup() {
  if (pendingLookup_ != nullptr) {
    pa_operation_cancel(pendingLookup_);
    pa_operation_unref(pendingLookup_);
    pendingLookup_ = nullptr;
  }
}

// The end of an info lookup (its list's end, or an error): the operation is done.
void PulseCaptureSource::lookupEnded() {
  if (pendingLookup_ != nullptr) {
    pa_operation_unref(pendingLookup_);
    pendingLookup_ = nullptr;
  }
}

void PulseCaptureSource::sourceInfoCallback(pa_context*, const pa_source_info* info, int eol, void* self) {
  auto* me = static_cast<PulseCaptureSource*>(self);
  if (eol != 0 || info == nullptr) {
    me->lookupEnded();
    return;
  }
  if (info->monitor_of_sink != PA_INVALID_INDEX) {
    me->lost();  // no microphone any more: the recording ends naming it
  } else if (me->stream_ != nullptr && info->name != nullptr) {
    me->moveTo(info->name);  // a new default input that is a real microphone
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
  cancelLookup();
  if (device_ == Device::microphone) {
    // Moved only when the new default input is a real microphone (see sourceInfoCallback).
    pendingLookup_ = pa_context_get_source_info_by_name(context_->context(), source.c_str(),
                                                        &PulseCaptureSource::sourceInfoCallback, this);
    return;
  }
  // The monitor of the new default output is named by the sink's description.
  pendingLookup_ =
      pa_context_get_sink_info_by_name(context_->context(), sink.c_str(), &PulseCaptureSource::sinkInfoCallback, this);
}

void PulseCaptureSource::sinkInfoCallback(pa_context*, const pa_sink_info* info, int eol, void* self) {
  auto* me = static_cast<PulseCaptureSource*>(self);
  if (eol != 0 || info == nullptr) {
    me->lookupEnded();
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
