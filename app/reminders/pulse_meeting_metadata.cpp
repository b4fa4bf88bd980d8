#include "app/reminders/pulse_meeting_metadata.h"

#include <unistd.h>

#include <charconv>
#include <map>
#include <set>
#include <stdexcept>
#include <utility>

#include "app/capture/pulse_context.h"
#include "core/system/clock.h"
#include "core/program/native_product.h"

namespace talvo {
namespace {

struct Stream {
  std::uint32_t client = PA_INVALID_INDEX;
  std::int32_t pid = 0;
  std::uint32_t source = PA_INVALID_INDEX;
  std::string binary;
  std::string applicationId;
};

// What the two list requests gather; filled on the mainloop thread under its lock.
struct Listing {
  std::set<std::uint32_t> monitors;
  std::vector<Stream> streams;
  int pending = 0;
  bool failed = false;
  bool tooLong = false;
};

std::string property(const pa_proplist* properties, const char* key) {
  const char* value = properties != nullptr ? pa_proplist_gets(properties, key) : nullptr;
  return value != nullptr ? value : "";
}

std::int32_t parsePid(const std::string& text) {
  std::int32_t pid = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (error != std::errc() || end != text.data() + text.size() || pid < 1) return 0;
  return pid;
}

void finishList(Listing& listing, int eol) {
  if (eol < 0) listing.failed = true;
  --listing.pending;
}

void sourceCallback(pa_context*, const pa_source_info* info, int eol, void* data) {
  auto& listing = *static_cast<Listing*>(data);
  if (eol != 0) return finishList(listing, eol);
  if (info->monitor_of_sink != PA_INVALID_INDEX) listing.monitors.insert(info->index);
}

void sourceOutputCallback(pa_context*, const pa_source_output_info* info, int eol, void* data) {
  auto& listing = *static_cast<Listing*>(data);
  if (eol != 0) return finishList(listing, eol);
  if (listing.streams.size() >= PulseMeetingMetadata::streamLimit) {
    listing.tooLong = true;
    return;
  }
  if (info->corked || info->client == PA_INVALID_INDEX) return;
  Stream stream;
  stream.client = info->client;
  stream.pid = parsePid(property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID));
  stream.source = info->source;
  stream.binary = property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
  stream.applicationId = property(info->proplist, PA_PROP_APPLICATION_ID);
  listing.streams.push_back(std::move(stream));
}

}  // namespace

PulseMeetingMetadata::PulseMeetingMetadata(std::string server) : server_(std::move(server)) {}

PulseMeetingMetadata::~PulseMeetingMetadata() {
  if (!context_) return;
  PulseContext::Lock lock(*context_);
  context_->removeListener(this);
}

std::vector<AudioInputProcess> PulseMeetingMetadata::snapshot() {
  if (context_) {
    bool alive;
    {
      PulseContext::Lock lock(*context_);
      alive = context_->alive();
    }
    if (!alive) {  // the server went away: a fresh connection next
      {
        PulseContext::Lock lock(*context_);
        context_->removeListener(this);
      }
      context_.reset();
      watching_ = false;
      changed_ = true;
    }
  }
  if (!context_) {
    auto context = std::make_unique<PulseContext>(server_);
    try {
      context->connect("meeting-metadata", timeoutSeconds);
    } catch (const std::exception& error) {
      throw std::runtime_error(std::string("sound server unavailable: ") + error.what());
    }
    context_ = std::move(context);
    PulseContext::Lock lock(*context_);
    context_->addListener(this);
    // Without the server's word on changes every poll lists.
    watching_ = context_->watchRecordingStreams(timeoutSeconds);
  }

  Listing listing;
  {
    PulseContext::Lock lock(*context_);
    // A change told from here on makes the next poll list again, even one during this list.
    if (watching_) changed_ = false;
    pa_context* context = context_->context();
    pa_operation* sources = pa_context_get_source_info_list(context, &sourceCallback, &listing);
    pa_operation* outputs = pa_context_get_source_output_info_list(context, &sourceOutputCallback, &listing);
    listing.pending = (sources != nullptr) + (outputs != nullptr);
    bool requested = sources != nullptr && outputs != nullptr;
    const double deadline = monotonicSeconds() + timeoutSeconds;
    while (requested && listing.pending > 0 && context_->alive() && monotonicSeconds() < deadline) {
      context_->pause();
    }
    // Unanswered requests must not call back into `listing` once it is gone.
    for (pa_operation* operation : {sources, outputs}) {
      if (operation == nullptr) continue;
      if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
      pa_operation_unref(operation);
    }
    if (!requested || listing.pending > 0 || listing.failed) {
      changed_ = true;
      throw std::runtime_error("the sound server did not list its recording streams");
    }
  }
  if (listing.tooLong) {
    changed_ = true;
    throw std::runtime_error("implausibly many recording streams");
  }

  const std::int32_t own = static_cast<std::int32_t>(getpid());
  std::vector<AudioInputProcess> processes;
  // Per client of the server, not per reported process id: a sandboxed client reports the id
  // inside its own namespace, so two Flatpak applications may both say 2.
  std::map<std::uint32_t, std::size_t> byClient;
  for (const Stream& stream : listing.streams) {
    if (stream.pid == 0 || stream.pid == own || listing.monitors.contains(stream.source)) continue;
    if (stream.applicationId == NativeProduct::applicationId) continue;
    auto [found, inserted] = byClient.emplace(stream.client, processes.size());
    if (inserted) {
      processes.push_back({stream.pid, stream.binary, stream.applicationId});
      continue;
    }
    // Another stream of the same client: fill in what the first one lacked.
    AudioInputProcess& known = processes[found->second];
    if (known.binary.empty()) known.binary = stream.binary;
    if (known.applicationId.empty()) known.applicationId = stream.applicationId;
  }
  return processes;
}

}  // namespace talvo
