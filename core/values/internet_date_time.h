#pragma once
// ISO 8601 internet date-time (RFC 3339) texts, as the service and our records use them.
//   format: always UTC, no fractional seconds: "2026-12-07T09:30:00Z".
//   parse:  "YYYY-MM-DDTHH:MM:SS[.fraction](Z|±HH:MM)"; whether the fraction must be present
//           or absent is the caller's choice, mirroring the two reading modes of the service's
//           clients ("first with fractional seconds, then without").
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace talvo {

using WallTime = std::chrono::system_clock::time_point;

enum class FractionalSeconds { required, absent };

std::string formatInternetDateTime(WallTime time);

// Strict reading in one mode; anything else (lower-case separators, missing zone, leap second
// 60, out-of-range fields, trailing text) is none.
std::optional<WallTime> parseInternetDateTime(std::string_view text, FractionalSeconds mode);

// First with fractional seconds, then without.
std::optional<WallTime> parseInternetDateTimeEither(std::string_view text);

}  // namespace talvo
