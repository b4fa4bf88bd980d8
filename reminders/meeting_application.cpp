#include "reminders/meeting_application.h"

namespace talvo {

std::string_view rawValue(MeetingApplication application) noexcept {
  switch (application) {
    case MeetingApplication::zoom:
      return "zoom";
    case MeetingApplication::telemost:
      return "telemost";
    case MeetingApplication::yandex:
      return "yandex";
    case MeetingApplication::chrome:
      return "chrome";
    case MeetingApplication::safari:
      return "safari";
    case MeetingApplication::edge:
      return "edge";
    case MeetingApplication::chromium:
      return "chromium";
    case MeetingApplication::firefox:
      return "firefox";
  }
  return "";
}

std::optional<MeetingApplication> meetingApplicationFromRaw(std::string_view raw) noexcept {
  for (MeetingApplication application : allMeetingApplications) {
    if (rawValue(application) == raw) return application;
  }
  return std::nullopt;
}

std::string_view displayName(MeetingApplication application) noexcept {
  switch (application) {
    case MeetingApplication::zoom:
      return "Zoom";
    case MeetingApplication::telemost:
      return "Телемост";
    case MeetingApplication::yandex:
      return "Яндекс Браузер";
    case MeetingApplication::chrome:
      return "Chrome";
    case MeetingApplication::safari:
      return "Safari";
    case MeetingApplication::edge:
      return "Edge";
    case MeetingApplication::chromium:
      return "Chromium";
    case MeetingApplication::firefox:
      return "Firefox";
  }
  return "";
}

std::string message(MeetingApplication application) {
  const std::string name(displayName(application));
  switch (application) {
    case MeetingApplication::zoom:
    case MeetingApplication::telemost:
      return "Похоже, начался созвон в " + name + ". Не забудьте включить запись.";
    case MeetingApplication::yandex:
      // The browser's name declines in Russian, so its text is written out whole.
      return "В Яндекс Браузере используется микрофон. Начался созвон?";
    case MeetingApplication::chrome:
    case MeetingApplication::safari:
    case MeetingApplication::edge:
    case MeetingApplication::chromium:
    case MeetingApplication::firefox:
      return "В " + name + " используется микрофон. Начался созвон?";
  }
  return "";
}

}  // namespace talvo
