#pragma once
// The meeting applications whose use of the microphone suggests that a call has begun. The
// order of the enumeration is also the priority when several are active at once: a dedicated
// meeting program names the call better than a browser that merely holds the microphone.
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace talvo {

enum class MeetingApplication { zoom, telemost, yandex, chrome, safari, edge, chromium, firefox };

// Every case in priority order.
inline constexpr std::array<MeetingApplication, 8> allMeetingApplications = {
    MeetingApplication::zoom,   MeetingApplication::telemost, MeetingApplication::yandex,   MeetingApplication::chrome,
    MeetingApplication::safari, MeetingApplication::edge,     MeetingApplication::chromium, MeetingApplication::firefox,
};

// The stable text form used wherever the choice is stored ("zoom", "telemost", ...).
std::string_view rawValue(MeetingApplication application) noexcept;
// None for any text that is not exactly one of the raw values.
std::optional<MeetingApplication> meetingApplicationFromRaw(std::string_view raw) noexcept;

// The name shown to the user ("Zoom", "Телемост", "Яндекс Браузер", ...).
std::string_view displayName(MeetingApplication application) noexcept;
// The one-line reminder text for this application.
std::string message(MeetingApplication application);

}  // namespace talvo
