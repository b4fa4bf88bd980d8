#include "reminders/reminder_delivery.h"

namespace talvo::ReminderDelivery {

void post(const std::function<bool()>& admitted, const std::function<void()>& add,
          const std::function<void()>& remove) {
  if (!admitted()) return;
  add();
  if (!admitted()) remove();
}

}  // namespace talvo::ReminderDelivery
