#include "app/capture/pulse_context.h"

#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "app/capture/capture_failure.h"
#include "core/system/clock.h"

namespace talvo {

PulseContext::PulseContext(std::string server) : server_(std::move(server)) {
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr) {
    throw std::bad_alloc();
  }
}

PulseContext::~PulseContext() {
  if (context_ != nullptr) {
    {
      Lock lock(*this);
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_set_subscribe_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
    }
  }
  pa_threaded_mainloop_stop(loop_);
  if (context_ != nullptr) {
    pa_context_unref(context_);
  }
  pa_threaded_mainloop_free(loop_);
}

void PulseContext::connect(const std::string& failureName, double timeoutSeconds) {
  Lock lock(*this);
  if (context_ != nullptr) {
    if (alive()) {
      return;
    }
    throw CaptureFailure::audio(failureName, -PA_ERR_CONNECTIONTERMINATED);
  }
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "TALVO");
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "pro.talvo.recorder");
  context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "TALVO", properties);
  pa_proplist_free(properties);
  if (context_ == nullptr) {
    throw CaptureFailure::audio(failureName, -PA_ERR_INTERNAL);
  }
  pa_context_set_state_callback(context_, &PulseContext::stateCallback, this);
  pa_context_set_subscribe_callback(context_, &PulseContext::subscribeCallback, this);
  // NOAUTOSPAWN: a recorder must not start a sound server of its own behind the user's back.
  if (pa_context_connect(context_, server_.empty() ? nullptr : server_.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    throw CaptureFailure::audio(failureName, -pa_context_errno(context_));
  }
  pa_threaded_mainloop_unlock(loop_);
  int started = pa_threaded_mainloop_start(loop_);
  pa_threaded_mainloop_lock(loop_);
  if (started < 0) {
    throw CaptureFailure::audio(failureName, -PA_ERR_INTERNAL);
  }
  const double deadline = monotonicSeconds() + timeoutSeconds;
  for (;;) {
    pa_context_state_t state = pa_context_get_state(context_);
    if (state == PA_CONTEXT_READY) {
      break;
    }
    if (!PA_CONTEXT_IS_GOOD(state)) {
      int code = pa_context_errno(context_);
      throw CaptureFailure::audio(failureName, -(code != 0 ? code : PA_ERR_CONNECTIONREFUSED));
    }
    if (monotonicSeconds() > deadline) {
      throw CaptureFailure::audio(failureName, -PA_ERR_TIMEOUT);
    }
    pause();
  }
  // Default device changes arrive as "server changed" events.
  if (pa_operation* op = pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) {
    pa_operation_unref(op);
  }
  requestServerInfo();
}

bool PulseContext::alive() const noexcept {
  return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

void PulseContext::addListener(Listener* listener) { listeners_.push_back(listener); }

void PulseContext::removeListener(Listener* listener) {
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void PulseContext::pause() noexcept {
  pa_threaded_mainloop_unlock(loop_);
  usleep(5000);
  pa_threaded_mainloop_lock(loop_);
}

bool PulseContext::await(pa_operation* operation, double timeoutSeconds) {
  if (operation == nullptr) {
    return false;
  }
  const double deadline = monotonicSeconds() + timeoutSeconds;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING && alive() && monotonicSeconds() <= deadline) {
    pause();
  }
  const pa_operation_state_t state = pa_operation_get_state(operation);
  if (state == PA_OPERATION_RUNNING) {
    pa_operation_cancel(operation);
  }
  pa_operation_unref(operation);
  return state == PA_OPERATION_DONE;
}

std::string PulseContext::defaultMonitorSource(double timeoutSeconds) {
  std::string sink;
  auto serverInfo = [](pa_context*, const pa_server_info* info, void* out) {
    if (info != nullptr && info->default_sink_name != nullptr) {
      *static_cast<std::string*>(out) = info->default_sink_name;
    }
  };
  if (!await(pa_context_get_server_info(context_, serverInfo, &sink), timeoutSeconds) || sink.empty()) {
    return {};
  }
  std::string monitor;
  auto sinkInfo = [](pa_context*, const pa_sink_info* info, int eol, void* out) {
    if (eol == 0 && info != nullptr && info->monitor_source_name != nullptr) {
      *static_cast<std::string*>(out) = info->monitor_source_name;
    }
  };
  if (!await(pa_context_get_sink_info_by_name(context_, sink.c_str(), sinkInfo, &monitor), timeoutSeconds)) {
    return {};
  }
  return monitor;
}

std::optional<bool> PulseContext::sourceIsMonitor(std::uint32_t index, double timeoutSeconds) {
  std::optional<bool> monitor;
  auto sourceInfo = [](pa_context*, const pa_source_info* info, int eol, void* out) {
    if (eol == 0 && info != nullptr) {
      *static_cast<std::optional<bool>*>(out) = info->monitor_of_sink != PA_INVALID_INDEX;
    }
  };
  if (!await(pa_context_get_source_info_by_index(context_, index, sourceInfo, &monitor), timeoutSeconds)) {
    return std::nullopt;
  }
  return monitor;
}

void PulseContext::stateCallback(pa_context* context, void* self) {
  auto* me = static_cast<PulseContext*>(self);
  pa_context_state_t state = pa_context_get_state(context);
  if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && !me->lostReported_) {
    me->lostReported_ = true;
    // Copy: a listener may remove itself while being told.
    std::vector<Listener*> listeners = me->listeners_;
    for (Listener* listener : listeners) {
      listener->contextLost();
    }
  }
}

void PulseContext::subscribeCallback(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self) {
  auto* me = static_cast<PulseContext*>(self);
  const int facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
    me->requestServerInfo();
  } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE || facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) {
    std::vector<Listener*> listeners = me->listeners_;
    for (Listener* listener : listeners) {
      listener->recordingStreamsChanged();
    }
  }
}

bool PulseContext::watchRecordingStreams(double timeoutSeconds) {
  const auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE |
                                           PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT);
  return await(pa_context_subscribe(context_, mask, nullptr, nullptr), timeoutSeconds);
}

void PulseContext::requestServerInfo() {
  if (pa_operation* op = pa_context_get_server_info(context_, &PulseContext::serverInfoCallback, this)) {
    pa_operation_unref(op);
  }
}

void PulseContext::serverInfoCallback(pa_context*, const pa_server_info* info, void* self) {
  auto* me = static_cast<PulseContext*>(self);
  if (info == nullptr) {
    return;
  }
  std::string sink = info->default_sink_name != nullptr ? info->default_sink_name : "";
  std::string source = info->default_source_name != nullptr ? info->default_source_name : "";
  bool first = me->defaultSink_.empty() && me->defaultSource_.empty();
  bool changed = sink != me->defaultSink_ || source != me->defaultSource_;
  me->defaultSink_ = sink;
  me->defaultSource_ = source;
  if (changed && !first) {
    std::vector<Listener*> listeners = me->listeners_;
    for (Listener* listener : listeners) {
      listener->defaultsChanged(sink, source);
    }
  }
}

}  // namespace talvo
