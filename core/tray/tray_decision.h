#pragma once
// Where the program shows itself: as an icon in the desktop's tray, or, with none, as an
// ordinary window "TALVO", and when its panel may open without being asked. The shell feeds it
// what it hears (a tray came or went, the icon got its place, the session was locked, the user
// asked for the program) and the time of each event on one monotonic clock; it answers what to
// do now and when to ask again.
//
//   undecided ──tray──────────────▶ icon (xembed | statusNotifier) ──tray gone──▶ icon, tray away
//       │  no tray for graceMs (unlocked)     ▲                                      │
//       ▼                                     └────────── tray back / second launch ─┘
//     window ◀── the user asks while no tray is there ──────────────────────────────┘
//       └──tray──▶ icon (the panel carries over, without focus, if the window showed)
//
// Rules: the window appears by itself only at start, when no tray came within the grace
// period; a tray that goes after it was seen (GNOME switches its extension off at every screen
// lock) pops nothing up. The panel opens by itself only at launch (with focus: the user launched
// the program); a window the user is looking at carries over to a tray that appears, without
// taking the focus. Nothing else opens or focuses without a user action.
#include <cstdint>
#include <optional>

namespace talvo {

class TrayDecision {
 public:
  // What the desktop offers now (a StatusNotifierItem host wins when both are there).
  enum class Tray { none, xembed, statusNotifier };
  enum class Presence { undecided, window, xembed, statusNotifier };
  enum class Open { none, withFocus, withoutFocus };
  struct Step {
    std::optional<Presence> switchTo;  // build the icon or the window for it
    Open open = Open::none;            // open the panel (once the switch is done)
    bool operator==(const Step&) const = default;
  };

  static constexpr std::int64_t graceMs = 2000;
  static constexpr std::int64_t placementWaitMs = 1000;

  // The program starts; `tray` is what is there now.
  Step start(std::int64_t now, Tray tray, bool locked);
  // The desktop's tray changed. `windowShown`: the window is on screen now.
  Step trayChanged(std::int64_t now, Tray tray, bool windowShown);
  // The icon has its place in the tray: an opening that waited for it goes ahead.
  Step iconPlaced(std::int64_t now);
  // The session's screen lock (logind's LockedHint, the screensaver's ActiveChanged).
  Step lockChanged(std::int64_t now, bool locked);
  // The user asked for the panel (a second launch, the menu entry, a reminder's button).
  Step userOpens(std::int64_t now);
  // The clock reached deadline().
  Step tick(std::int64_t now);

  // When tick() has something to do; none while only events can change anything.
  std::optional<std::int64_t> deadline() const;
  Presence presence() const { return presence_; }
  // An icon is shown but its tray went away: it comes back by itself with the tray.
  bool trayAway() const { return trayAway_; }

 private:
  Step switchToTray(std::int64_t now, Tray tray, Open afterPlacement);

  Presence presence_ = Presence::undecided;
  Tray tray_ = Tray::none;
  bool started_ = false;
  bool locked_ = false;
  bool trayAway_ = false;
  std::int64_t noTraySince_ = 0;          // in undecided: the grace period's start
  std::optional<std::int64_t> placedBy_;  // waiting for the icon's place until then
  Open openAfterPlacement_ = Open::none;
};

}  // namespace talvo
