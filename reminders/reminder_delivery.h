#pragma once
// Posting a notice that may lose its permission while it is being posted: the permission is
// checked before posting and again afterwards, and a notice posted just as the permission was
// withdrawn is taken back at once.
//
// No caller on Linux yet: the panel-drawn reminder needs no permission, so nothing can be
// withdrawn while it is posted. It stays for a back end that posts reminders through the
// desktop's notification service, whose permission can change under a posted notice.
#include <functional>

namespace talvo {

namespace ReminderDelivery {

// If `admitted()` is false nothing happens. Otherwise `add()` runs (it may block, e.g. for a
// round trip to the notification service; its failure is passed on to the caller untouched,
// and then nothing is removed); once it returns, `remove()` runs if `admitted()` has turned false.
// Call it on the thread that owns the notices.
void post(const std::function<bool()>& admitted, const std::function<void()>& add, const std::function<void()>& remove);

}  // namespace ReminderDelivery

}  // namespace talvo
