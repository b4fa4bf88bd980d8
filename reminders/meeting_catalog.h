#pragma once
// Which application identities count as meeting applications. The catalog is a plain table
// from identity to application, so the platform side can supply its own identities (desktop
// application ids, executable names) beside or instead of the built-in table.
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "reminders/meeting_application.h"
#include "reminders/meeting_process.h"

namespace talvo {

struct MeetingCatalog {
  // Exact, case-sensitive identity -> application.
  std::unordered_map<std::string, MeetingApplication> applications;

  // The built-in table of known meeting applications (built once, on first use).
  static const std::unordered_map<std::string, MeetingApplication>& knownApplications();

  // The meeting application behind `process`, if it is one and is using the microphone. Our
  // own process and our own helper processes never count, whatever the table says.
  std::optional<MeetingApplication> application(const MeetingProcess& process, std::int32_t ownPID) const;
};

}  // namespace talvo
