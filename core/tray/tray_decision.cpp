#include "core/tray/tray_decision.h"

#include <algorithm>

namespace talvo {

namespace {

TrayDecision::Presence presenceOf(TrayDecision::Tray tray) {
  return tray == TrayDecision::Tray::xembed ? TrayDecision::Presence::xembed : TrayDecision::Presence::statusNotifier;
}

}  // namespace

TrayDecision::Step TrayDecision::start(std::int64_t now, Tray tray, bool locked) {
  started_ = true;
  locked_ = locked;
  tray_ = tray;
  if (tray != Tray::none) return switchToTray(now, tray, Open::withFocus);  // the user launched us
  noTraySince_ = now;
  return {};
}

TrayDecision::Step TrayDecision::switchToTray(std::int64_t now, Tray tray, Open afterPlacement) {
  presence_ = presenceOf(tray);
  trayAway_ = false;
  openAfterPlacement_ = afterPlacement;
  if (afterPlacement != Open::none) {
    placedBy_ = now + placementWaitMs;
  } else {
    placedBy_.reset();
  }
  return {presence_, Open::none};
}

TrayDecision::Step TrayDecision::trayChanged(std::int64_t now, Tray tray, bool windowShown) {
  if (!started_ || tray == tray_) return {};
  tray_ = tray;
  switch (presence_) {
    case Presence::undecided:
      // Still the launch: the panel opens under the icon once it is placed.
      if (tray != Tray::none) return switchToTray(now, tray, Open::withFocus);
      return {};
    case Presence::window:
      // The window the user looks at moves under the icon; a closed one stays closed.
      if (tray != Tray::none) return switchToTray(now, tray, windowShown ? Open::withoutFocus : Open::none);
      return {};
    case Presence::xembed:
    case Presence::statusNotifier:
      if (tray == Tray::none) {
        trayAway_ = true;  // nothing pops up: the icon docks again when the tray is back
        return {};
      }
      if (presenceOf(tray) == presence_) {
        trayAway_ = false;
        return {};
      }
      // The other kind of tray: the icon moves there, a launch's opening still pending.
      return switchToTray(now, tray, placedBy_ ? openAfterPlacement_ : Open::none);
  }
  return {};
}

TrayDecision::Step TrayDecision::iconPlaced(std::int64_t) {
  if (!placedBy_ || trayAway_) return {};
  placedBy_.reset();
  const Open open = openAfterPlacement_;
  openAfterPlacement_ = Open::none;
  return {std::nullopt, open};
}

TrayDecision::Step TrayDecision::lockChanged(std::int64_t now, bool locked) {
  if (locked == locked_) return {};
  locked_ = locked;
  // A desktop switches its tray off while locked and back on after: the grace period starts
  // again at the unlock, so no window pops up in between.
  if (!locked && presence_ == Presence::undecided) noTraySince_ = now;
  return {};
}

TrayDecision::Step TrayDecision::userOpens(std::int64_t) {
  if (!started_) return {};
  placedBy_.reset();  // the user's own opening replaces the launch's
  openAfterPlacement_ = Open::none;
  if (presence_ == Presence::window) return {std::nullopt, Open::withFocus};
  if (presence_ != Presence::undecided && !trayAway_) return {std::nullopt, Open::withFocus};
  // No tray to hang from (not yet, or not any more): the user asked, so the window shows.
  presence_ = Presence::window;
  trayAway_ = false;
  return {Presence::window, Open::withFocus};
}

TrayDecision::Step TrayDecision::tick(std::int64_t now) {
  if (!started_) return {};
  if (presence_ == Presence::undecided) {
    if (locked_ || now - noTraySince_ < graceMs) return {};
    presence_ = Presence::window;  // no tray at start: the launch shows the window
    return {Presence::window, Open::withFocus};
  }
  if (placedBy_ && now >= *placedBy_) {
    // The tray never said where the icon is: open anyway (at the bar's edge), unless it went.
    placedBy_.reset();
    const Open open = trayAway_ ? Open::none : openAfterPlacement_;
    openAfterPlacement_ = Open::none;
    return {std::nullopt, open};
  }
  return {};
}

std::optional<std::int64_t> TrayDecision::deadline() const {
  if (!started_) return std::nullopt;
  if (presence_ == Presence::undecided) {
    if (locked_) return std::nullopt;
    return noTraySince_ + graceMs;
  }
  return placedBy_;
}

}  // namespace talvo
