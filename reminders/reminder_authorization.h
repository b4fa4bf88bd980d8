#pragma once
// Whether the user lets the program show reminders. Anything but `allowed` keeps them silent.
// On Linux the reminder is the program's own panel, which needs no permission, so the program
// always passes `allowed`; the engine keeps the rule for back ends whose notices need one.
namespace talvo {

enum class ReminderAuthorization { unknown, notAsked, allowed, denied };

}  // namespace talvo
