#pragma once
// The sound server's view of who is using the microphone: its recording streams (libpulse source
// outputs). A stream counts when it is running (not corked), belongs to a client (filters such as
// a remap source have none) and records from a real input rather than a sink's monitor. The
// program's own streams are left out by process id and by their `application.id`. Streams of one
// process collapse into one entry.
//
// Keeps one connection to the server between calls and reconnects after the server went away.
#include <memory>
#include <string>

#include "app/reminders/audio_input_process_source.h"

namespace talvo {

class PulseContext;

class PulseMeetingMetadata final : public AudioInputProcessSource {
 public:
  // More streams than this is not a plausible desktop: the list is refused as a whole.
  static constexpr std::size_t streamLimit = 1024;
  static constexpr double timeoutSeconds = 1.5;

  // `server`: a server address as PULSE_SERVER takes it; empty for the user's default server.
  explicit PulseMeetingMetadata(std::string server = {});
  ~PulseMeetingMetadata() override;

  // Throws std::runtime_error when the server cannot be reached or answers incompletely.
  std::vector<AudioInputProcess> snapshot() override;

 private:
  std::string server_;
  std::unique_ptr<PulseContext> context_;
};

}  // namespace talvo
