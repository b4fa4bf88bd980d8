#pragma once
// What the user sees of a user-started update: the offer to install a found version, the
// download's progress with a way to cancel it, and the refusals the user should read. The
// program shows UpdateDialog (app/ui); tests answer on the user's behalf.
#include <functional>
#include <string>

#include "app/updates/appcast_item.h"

namespace talvo {

class UpdateUserDriver {
 public:
  virtual ~UpdateUserDriver() = default;
  // Asks whether to install `item`; `decide` is called once (false when the user declines or
  // closes the dialog). Progress then shows in the same place until dismiss(); `cancel` is
  // called (at most once) when the user cancels the download meanwhile.
  virtual void offer(const AppcastItem& item, std::function<void(bool install)> decide,
                     std::function<void()> cancel) = 0;
  virtual void showProgress(double fraction) = 0;
  virtual void dismiss() = 0;
  // Shows why a user-started update was refused (a busy recorder, an unexpected address).
  virtual void showRefusal(const std::string& text) = 0;
};

}  // namespace talvo
