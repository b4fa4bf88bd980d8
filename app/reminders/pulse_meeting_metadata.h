#pragma once
// The sound server's view of who is using the microphone: its recording streams (libpulse source
// outputs). A stream counts when it is running (not corked), belongs to a client (filters such as
// a remap source have none) and records from a real input rather than a sink's monitor. The
// program's own streams are left out by process id and by their `application.id`. Streams of one
// process collapse into one entry.
//
// Keeps one connection to the server between calls and reconnects after the server went away.
// The server tells that connection of every source and recording stream that comes, goes or
// changes, so a poll with nothing told since the last list needs no round trip.
#include <atomic>
#include <memory>
#include <string>

#include "app/capture/pulse_context.h"
#include "app/reminders/audio_input_process_source.h"

namespace talvo {

class PulseMeetingMetadata final : public AudioInputProcessSource, private PulseContext::Listener {
 public:
  // More streams than this is not a plausible desktop: the list is refused as a whole.
  static constexpr std::size_t streamLimit = 1024;
  static constexpr double timeoutSeconds = 1.5;

  // `server`: a server address as PULSE_SERVER takes it; empty for the user's default server.
  explicit PulseMeetingMetadata(std::string server = {});
  ~PulseMeetingMetadata() override;

  // Throws std::runtime_error when the server cannot be reached or answers incompletely.
  std::vector<AudioInputProcess> snapshot() override;
  bool mayHaveChanged() const override { return changed_.load(); }

 private:
  // PulseContext::Listener, on the mainloop thread.
  void contextLost() override { changed_ = true; }
  void defaultsChanged(const std::string&, const std::string&) override {}
  void recordingStreamsChanged() override { changed_ = true; }

  std::string server_;
  // Cleared just before a list is asked for, and only while the server tells of changes.
  std::atomic<bool> changed_{true};
  bool watching_ = false;
  std::unique_ptr<PulseContext> context_;
};

}  // namespace talvo
