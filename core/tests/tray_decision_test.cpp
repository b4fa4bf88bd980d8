#include "core/tray/tray_decision.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

using Open = TrayDecision::Open;
using Presence = TrayDecision::Presence;
using Step = TrayDecision::Step;
using Tray = TrayDecision::Tray;

const Step nothing{};

TEST(TrayDecision, AtLaunchTheTrayOrTheGracePeriodDecidesWhatShows) {
  struct Row {
    const char* name;
    Tray tray;
    Step atStart;
    Presence presence;
  };
  const Row table[] = {
      {"xembed tray", Tray::xembed, {Presence::xembed}, Presence::xembed},
      {"StatusNotifierItem host", Tray::statusNotifier, {Presence::statusNotifier}, Presence::statusNotifier},
      {"no tray yet", Tray::none, nothing, Presence::undecided},
  };
  for (const Row& row : table) {
    TrayDecision d;
    EXPECT_EQ(d.start(1000, row.tray, false), row.atStart) << row.name;
    EXPECT_EQ(d.presence(), row.presence) << row.name;
  }

  // An icon: the panel opens with focus once it is placed, or when the wait runs out.
  TrayDecision placed;
  placed.start(0, Tray::xembed, false);
  EXPECT_EQ(placed.deadline(), TrayDecision::placementWaitMs);
  EXPECT_EQ(placed.tick(500), nothing);
  EXPECT_EQ(placed.iconPlaced(600), (Step{std::nullopt, Open::withFocus}));
  EXPECT_EQ(placed.iconPlaced(700), nothing) << "opens once";
  EXPECT_EQ(placed.deadline(), std::nullopt) << "nothing left to wait for: no timer runs";
  TrayDecision neverPlaced;
  neverPlaced.start(0, Tray::statusNotifier, false);
  EXPECT_EQ(neverPlaced.tick(TrayDecision::placementWaitMs), (Step{std::nullopt, Open::withFocus}));
  EXPECT_EQ(neverPlaced.tick(5000), nothing);

  // No tray: the window with focus after the grace period, not before.
  TrayDecision none;
  none.start(100, Tray::none, false);
  EXPECT_EQ(none.deadline(), 100 + TrayDecision::graceMs);
  EXPECT_EQ(none.tick(100 + TrayDecision::graceMs - 1), nothing);
  EXPECT_EQ(none.tick(100 + TrayDecision::graceMs), (Step{Presence::window, Open::withFocus}));
  EXPECT_EQ(none.deadline(), std::nullopt);

  // A tray that comes within the grace period: the icon, and the launch's panel under it.
  TrayDecision late;
  late.start(0, Tray::none, false);
  EXPECT_EQ(late.trayChanged(1500, Tray::xembed, false), (Step{Presence::xembed}));
  EXPECT_EQ(late.iconPlaced(1600), (Step{std::nullopt, Open::withFocus}));
}

TEST(TrayDecision, ATrayThatBlinksAfterItWasSeenPopsNothingUp) {
  // GNOME's extension goes at every screen lock; a panel restarts; under load it may take
  // seconds to come back. None of it shows the window or opens the panel, however long.
  for (Tray tray : {Tray::xembed, Tray::statusNotifier}) {
    TrayDecision d;
    d.start(0, tray, false);
    d.iconPlaced(100);
    EXPECT_EQ(d.trayChanged(60'000, Tray::none, false), nothing);
    EXPECT_TRUE(d.trayAway());
    EXPECT_EQ(d.deadline(), std::nullopt) << "no timer while the tray is away";
    for (std::int64_t t : {62'000, 70'000, 600'000}) EXPECT_EQ(d.tick(t), nothing);
    EXPECT_EQ(d.lockChanged(600'001, true), nothing);
    EXPECT_EQ(d.trayChanged(600'500, tray, false), nothing) << "back: the icon docks by itself";
    EXPECT_FALSE(d.trayAway());
    EXPECT_EQ(d.lockChanged(600'600, false), nothing);
    EXPECT_EQ(d.tick(700'000), nothing);
  }
}

TEST(TrayDecision, WhatTheUsersOwnRequestShows) {
  struct Row {
    const char* name;
    Tray atStart;
    std::optional<Tray> later;  // the tray changes before the user asks
    std::int64_t asksAt;
    Step step;
  };
  const Row table[] = {
      {"icon in its tray", Tray::xembed, std::nullopt, 5000, {std::nullopt, Open::withFocus}},
      {"tray away", Tray::statusNotifier, Tray::none, 5000, {Presence::window, Open::withFocus}},
      {"no tray yet, in the grace period", Tray::none, std::nullopt, 500, {Presence::window, Open::withFocus}},
      {"window", Tray::none, std::nullopt, 5000, {std::nullopt, Open::withFocus}},
  };
  for (const Row& row : table) {
    TrayDecision d;
    d.start(0, row.atStart, false);
    d.iconPlaced(10);
    if (row.later) d.trayChanged(1000, *row.later, false);
    d.tick(row.asksAt - 1);
    EXPECT_EQ(d.userOpens(row.asksAt), row.step) << row.name;
  }

  // The user opened the panel before the icon was placed: the launch's opening is dropped.
  TrayDecision early;
  early.start(0, Tray::xembed, false);
  EXPECT_EQ(early.userOpens(100), (Step{std::nullopt, Open::withFocus}));
  EXPECT_EQ(early.iconPlaced(200), nothing);
  EXPECT_EQ(early.tick(5000), nothing);
}

TEST(TrayDecision, ATrayThatAppearsTakesOverFromTheWindow) {
  for (bool windowShown : {true, false}) {
    TrayDecision d;
    d.start(0, Tray::none, false);
    d.tick(TrayDecision::graceMs);
    EXPECT_EQ(d.trayChanged(10'000, Tray::xembed, windowShown), (Step{Presence::xembed}));
    // A window on screen continues as the panel under the icon, without taking the focus; a
    // closed one stays closed.
    const Step placed = d.iconPlaced(10'200);
    EXPECT_EQ(placed.open, windowShown ? Open::withoutFocus : Open::none) << windowShown;
    // When that tray goes again, nothing pops up: the program was seen in a tray.
    EXPECT_EQ(d.trayChanged(20'000, Tray::none, false), nothing);
    EXPECT_EQ(d.tick(30'000), nothing);
  }
  // The window the user opened while the tray was away also gives way when it is back.
  TrayDecision away;
  away.start(0, Tray::statusNotifier, false);
  away.iconPlaced(50);
  away.trayChanged(1000, Tray::none, false);
  away.userOpens(2000);
  EXPECT_EQ(away.presence(), Presence::window);
  EXPECT_EQ(away.trayChanged(3000, Tray::statusNotifier, true), (Step{Presence::statusNotifier}));
  EXPECT_EQ(away.tick(3000 + TrayDecision::placementWaitMs), (Step{std::nullopt, Open::withoutFocus}));
}

TEST(TrayDecision, ALockedSessionDefersTheWindowUntilItIsUnlocked) {
  // Started on a locked screen (the extension is off): no window while locked, and the grace
  // period starts again at the unlock, when the tray comes back.
  TrayDecision d;
  d.start(0, Tray::none, true);
  EXPECT_EQ(d.deadline(), std::nullopt);
  EXPECT_EQ(d.tick(60'000), nothing);
  EXPECT_EQ(d.lockChanged(60'000, false), nothing);
  EXPECT_EQ(d.deadline(), 60'000 + TrayDecision::graceMs);
  EXPECT_EQ(d.trayChanged(61'000, Tray::statusNotifier, false), (Step{Presence::statusNotifier}));
  EXPECT_EQ(d.iconPlaced(61'100), (Step{std::nullopt, Open::withFocus}));

  // Locked again before the grace period ends: still nothing.
  TrayDecision relocked;
  relocked.start(0, Tray::none, false);
  relocked.lockChanged(1000, true);
  EXPECT_EQ(relocked.tick(10'000), nothing);
  relocked.lockChanged(10'000, false);
  EXPECT_EQ(relocked.tick(10'000 + TrayDecision::graceMs), (Step{Presence::window, Open::withFocus}));
}

TEST(TrayDecision, TheIconFollowsTheKindOfTrayThereIs) {
  // An XEmbed tray replaced by a StatusNotifierItem host (or back): the icon moves, nothing opens
  // unless the launch's opening still waits.
  TrayDecision d;
  d.start(0, Tray::xembed, false);
  d.iconPlaced(10);
  EXPECT_EQ(d.trayChanged(5000, Tray::statusNotifier, false), (Step{Presence::statusNotifier}));
  EXPECT_EQ(d.tick(5000 + TrayDecision::placementWaitMs), nothing);
  TrayDecision launching;
  launching.start(0, Tray::xembed, false);
  EXPECT_EQ(launching.trayChanged(200, Tray::statusNotifier, false), (Step{Presence::statusNotifier}));
  EXPECT_EQ(launching.iconPlaced(300), (Step{std::nullopt, Open::withFocus}));
  // The tray went during the launch's wait: the panel has nothing to hang from and stays shut.
  TrayDecision gone;
  gone.start(0, Tray::statusNotifier, false);
  gone.trayChanged(100, Tray::none, false);
  EXPECT_EQ(gone.iconPlaced(200), nothing);
  EXPECT_EQ(gone.tick(TrayDecision::placementWaitMs), nothing);
}

}  // namespace
}  // namespace talvo
