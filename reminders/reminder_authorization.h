#pragma once
// Whether the user lets the program show reminders. Anything but `allowed` keeps them silent.
namespace talvo {

enum class ReminderAuthorization { unknown, notAsked, allowed, denied };

}  // namespace talvo
