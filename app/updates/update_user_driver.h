#pragma once
// What the user sees of a user-started update: the offer to install a found version and the
// download's progress. The program shows UpdateDialog; tests answer on the user's behalf.
#include <functional>

#include "app/updates/appcast_item.h"

namespace talvo {

class UpdateUserDriver {
 public:
  virtual ~UpdateUserDriver() = default;
  // Asks whether to install `item`; `decide` is called once (false when the user declines or
  // closes the dialog). Progress then shows in the same place until dismiss().
  virtual void offer(const AppcastItem& item, std::function<void(bool install)> decide) = 0;
  virtual void showProgress(double fraction) = 0;
  virtual void dismiss() = 0;
};

}  // namespace talvo
