#include "app/ui/anchored_panel.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QProcess>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include "app/tests/ui_test_support.h"
#include "app/ui/status_icon_renderer.h"
#include "app/tray/tray_anchor_lookup.h"

namespace talvo {
namespace {

using ui_test::settle;
using ui_test::waitUntil;

QWidget* fixedContent(int width, int height) {
  auto* content = new QLabel(QStringLiteral("содержимое"));
  content->setFixedSize(width, height);
  return content;
}

struct Counts {
  int shown = 0;
  int closed = 0;
};

class AnchoredPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::app();
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs the test display";
    screen = QGuiApplication::primaryScreen()->geometry();
  }
  std::unique_ptr<AnchoredPanel> make(std::function<std::optional<TrayAnchor>()> anchor, int height = 200) {
    return std::make_unique<AnchoredPanel>(
        fixedContent(320, height), std::move(anchor), [this] { ++counts.shown; }, [this] { ++counts.closed; });
  }
  // An icon in a bar at the top right, as trayer reports it.
  std::optional<TrayAnchor> topIcon() const {
    return TrayAnchorLookup::fromGeometry(QRect(screen.right() - 30, 1, 22, 30));
  }
  QRect screen;
  Counts counts;
};

TEST_F(AnchoredPanelTest, PlacementUnderAnIconAtEachEdgeAndFromAClickPoint) {
  // Valid geometry at the top right: 6 below the icon, 8 from the right edge, arrow under it.
  const QRect icon(screen.right() - 30, 1, 22, 30);
  auto anchor = TrayAnchorLookup::fromGeometry(icon);
  ASSERT_TRUE(anchor);
  EXPECT_EQ(anchor->opening, PanelOpening::downward);
  auto panel = make([&] { return anchor; });
  panel->show(true);
  ASSERT_TRUE(panel->isVisible());
  QRect frame = panel->window()->geometry();
  EXPECT_EQ(frame.size(), QSize(320, 210));  // content plus the arrow's 10
  EXPECT_EQ(frame.right(), screen.right() - 8);
  EXPECT_EQ(frame.top(), icon.bottom() + 1 + 6);
  EXPECT_NEAR(panel->arrowX(), icon.center().x() + 0.5 - frame.left(), 1.0);
  panel->close();

  // At the top left the panel is pushed right, 8 in from the edge.
  anchor = TrayAnchorLookup::fromGeometry(QRect(2, 1, 22, 30));
  panel->show(true);
  EXPECT_EQ(panel->window()->geometry().left(), 8);
  panel->close();

  // A bottom bar: the panel opens upward, 6 above the icon.
  anchor = TrayAnchorLookup::fromGeometry(QRect(screen.width() / 2, screen.bottom() - 30, 22, 30));
  ASSERT_TRUE(anchor);
  EXPECT_EQ(anchor->opening, PanelOpening::upward);
  panel->show(true);
  frame = panel->window()->geometry();
  EXPECT_EQ(frame.bottom() + 1, screen.bottom() - 30 - 6);
  panel->close();

  // Empty geometry (StatusNotifierItem hosts): not an anchor; the click point is.
  EXPECT_FALSE(TrayAnchorLookup::fromGeometry(QRect()));
  EXPECT_FALSE(TrayAnchorLookup::fromGeometry(QRect(600, 400, 22, 22)));  // mid-screen is no bar
  anchor = TrayAnchorLookup::fromClick(QPoint(screen.right() - 100, 10));
  ASSERT_TRUE(anchor);
  panel->show(true);
  frame = panel->window()->geometry();
  EXPECT_GE(frame.top(), QGuiApplication::primaryScreen()->availableGeometry().top());
  EXPECT_LE(frame.right(), screen.right() - 8);
  EXPECT_NEAR(frame.left() + panel->arrowX(), screen.right() - 100, 1.0);
  panel->close();

  // The reminder's fallback hangs from the bar edge.
  anchor = TrayAnchorLookup::reminderFallback(nullptr);
  ASSERT_TRUE(anchor);
  panel->show(false);
  EXPECT_TRUE(panel->isVisible());
  EXPECT_TRUE(screen.contains(panel->window()->geometry()));
  panel->close();
  EXPECT_EQ(counts.shown, 5);
  EXPECT_EQ(counts.closed, 5);
}

TEST_F(AnchoredPanelTest, ShowRetriesUntilTheAnchorAppearsThenGivesUp) {
  int asked = 0;
  bool ready = false;
  auto panel = make([&]() -> std::optional<TrayAnchor> {
    ++asked;
    return ready ? topIcon() : std::nullopt;
  });
  panel->show(true);
  EXPECT_FALSE(panel->isVisible());
  settle(250);
  ready = true;
  EXPECT_TRUE(waitUntil([&] { return panel->isVisible(); }, 2000));
  EXPECT_EQ(counts.shown, 1);
  panel->close();

  ready = false;
  asked = 0;
  panel->show(true);
  // The first try and ten retries, 0.1 s apart; a loaded machine runs the timer late, so the
  // count is waited for, then must stay.
  EXPECT_TRUE(waitUntil([&] { return asked >= 11; }, 5000)) << asked;
  settle(400);
  EXPECT_EQ(asked, 11);
  EXPECT_FALSE(panel->isVisible());
  EXPECT_EQ(counts.shown, 1);
  EXPECT_EQ(counts.closed, 1);
}

TEST_F(AnchoredPanelTest, ClosingRules) {
  bool dialogOpen = false;
  auto panel = make([&] { return topIcon(); });
  panel->setKeepOpenWhile([&] { return dialogOpen; });
  QWidget other;
  other.setWindowTitle(QStringLiteral("other"));
  other.setGeometry(100, 300, 300, 200);
  other.show();
  ASSERT_TRUE(waitUntil([&] { return other.isVisible(); }));

  // Escape in the panel closes it; once.
  panel->show(true);
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(panel->window(), &escape);
  EXPECT_FALSE(panel->isVisible());
  panel->close();
  EXPECT_EQ(counts.closed, 1);

  // Escape in another window of the program does nothing to the panel.
  panel->show(true);
  QApplication::sendEvent(&other, &escape);
  settle(50);
  EXPECT_TRUE(panel->isVisible());

  // A press on the tray icon is left to the icon's action.
  const QRect icon = *panel->iconRect();
  QMouseEvent onIcon(QEvent::MouseButtonPress, QPointF(1, 1), QPointF(icon.center()), Qt::LeftButton, Qt::LeftButton,
                     Qt::NoModifier);
  QApplication::sendEvent(&other, &onIcon);
  settle(50);
  EXPECT_TRUE(panel->isVisible());

  // A press in another window of the program closes it.
  QMouseEvent elsewhere(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(105, 305), Qt::LeftButton, Qt::LeftButton,
                        Qt::NoModifier);
  QApplication::sendEvent(&other, &elsewhere);
  EXPECT_TRUE(waitUntil([&] { return !panel->isVisible(); }));
  EXPECT_EQ(counts.shown, 2);
  EXPECT_EQ(counts.closed, 2);
}

// Real focus changes: the window manager moves focus to another program's window on a real
// click there.
TEST_F(AnchoredPanelTest, FocusLossClosesExceptWhileItsDialogIsOpen) {
  bool dialogOpen = false;
  auto panel = make([&] { return topIcon(); });
  panel->setKeepOpenWhile([&] { return dialogOpen; });
  QProcess other;
  other.start(QStringLiteral("xmessage"),
              {QStringLiteral("-geometry"), QStringLiteral("300x200+100+300"), QStringLiteral("-title"),
               QStringLiteral("talvo-other"), QStringLiteral("другое окно")});
  ASSERT_TRUE(other.waitForStarted());
  ASSERT_TRUE(waitUntil(
      [] {
        return QProcess::execute(QStringLiteral("xdotool"),
                                 {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                                  QStringLiteral("talvo-other")}) == 0;
      },
      5000));
  auto clickOther = [] {
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("160"),
                                                  QStringLiteral("330"), QStringLiteral("click"), QStringLiteral("1")});
  };

  panel->show(true);
  ASSERT_TRUE(waitUntil([&] { return panel->window()->isActiveWindow(); }, 3000)) << "the panel never got focus";
  dialogOpen = true;
  clickOther();
  settle(400);
  EXPECT_TRUE(panel->isVisible());

  dialogOpen = false;
  panel->show(true);
  ASSERT_TRUE(waitUntil([&] { return panel->window()->isActiveWindow(); }, 3000));
  clickOther();
  EXPECT_TRUE(waitUntil([&] { return !panel->isVisible(); }, 3000));
  EXPECT_EQ(counts.closed, 1);
  other.kill();
  other.waitForFinished();
}

// A press in another program that takes no focus (a desktop's panel bar, the empty desktop)
// closes the panel too, also one shown without focus, as the reminder is.
TEST_F(AnchoredPanelTest, AClickThatTakesNoFocusClosesItUnlessOnTheIconOrWhileItsDialogIsOpen) {
  bool dialogOpen = false;
  auto panel = make([&] { return topIcon(); });
  panel->setKeepOpenWhile([&] { return dialogOpen; });
  auto clickAt = [](QPoint at) {
    QProcess::execute(QStringLiteral("xdotool"),
                      {QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                       QStringLiteral("click"), QStringLiteral("1")});
  };
  const QPoint desktop(40, screen.bottom() - 40);  // nothing but the root window there
  panel->show(false);
  ASSERT_TRUE(panel->isVisible());
  settle(200);

  clickAt(panel->iconRect()->center());
  settle(400);
  EXPECT_TRUE(panel->isVisible()) << "a press on the icon is the icon's to answer";
  dialogOpen = true;
  clickAt(desktop);
  settle(400);
  EXPECT_TRUE(panel->isVisible()) << "closed while its dialog was open";
  dialogOpen = false;
  clickAt(desktop);
  EXPECT_TRUE(waitUntil([&] { return !panel->isVisible(); }, 3000));
  EXPECT_EQ(counts.closed, 1);

  // Closed, it no longer listens: a later click changes nothing.
  clickAt(desktop);
  settle(200);
  EXPECT_EQ(counts.closed, 1);
}

TEST_F(AnchoredPanelTest, StaysOutOfTheTaskbarOnEveryDesktop) {
  auto panel = make([&] { return topIcon(); });
  panel->show(false);
  ASSERT_TRUE(panel->isVisible());
  settle(100);
  QProcess xprop;
  xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(panel->window()->winId()),
                                        QStringLiteral("_NET_WM_STATE"), QStringLiteral("_NET_WM_DESKTOP")});
  ASSERT_TRUE(xprop.waitForFinished(5000));
  const QString out = QString::fromUtf8(xprop.readAllStandardOutput());
  EXPECT_TRUE(out.contains(QStringLiteral("_NET_WM_STATE_SKIP_TASKBAR"))) << out.toStdString();
  EXPECT_TRUE(out.contains(QStringLiteral("_NET_WM_STATE_SKIP_PAGER"))) << out.toStdString();
  EXPECT_TRUE(out.contains(QStringLiteral("_NET_WM_STATE_ABOVE"))) << out.toStdString();
  EXPECT_FALSE(panel->window()->isActiveWindow());  // shown without taking focus
}

TEST_F(AnchoredPanelTest, ContentGrowthMovesThePanelAndBadSizesAreIgnored) {
  auto* content = fixedContent(320, 200);
  bool gone = false;
  AnchoredPanel panel(content, [&]() -> std::optional<TrayAnchor> {
    if (gone) return std::nullopt;
    return topIcon();
  });
  panel.show(true);
  const int top = panel.window()->geometry().top();
  content->setFixedSize(320, 300);
  EXPECT_TRUE(waitUntil([&] { return panel.window()->height() == 310; }));
  EXPECT_EQ(panel.window()->geometry().top(), top);  // still hanging from the icon
  content->setFixedSize(0, 100);                     // implausible: no width
  settle(100);
  EXPECT_EQ(panel.window()->height(), 310);
  // An anchor that disappears while visible closes the panel at the next placement.
  gone = true;
  content->setFixedSize(320, 250);
  EXPECT_TRUE(waitUntil([&] { return !panel.isVisible(); }));
}

// The X watches and the bar's grab wait for the first paint of a panel just shown; none of it is
// lost when no paint comes (the panel closes first).
TEST_F(AnchoredPanelTest, WorkAfterThePaintRunsOncePaintedOrWhenThePanelCloses) {
  auto panel = make([&] { return topIcon(); });
  int ran = 0;
  panel->show(false);
  panel->whenPainted([&] { ++ran; });
  EXPECT_EQ(ran, 0) << "ran before the panel could paint";
  EXPECT_TRUE(waitUntil([&] { return ran == 1; }));
  panel->whenPainted([&] { ++ran; });  // painted already: on the next turn
  EXPECT_TRUE(waitUntil([&] { return ran == 2; }));
  panel->close();

  panel->show(false);
  panel->whenPainted([&] { ++ran; });
  panel->close();
  EXPECT_EQ(ran, 3);
}

TEST_F(AnchoredPanelTest, ScreenChangeClosesThePanel) {
  auto panel = make([&] { return topIcon(); });
  panel->show(true);
  ASSERT_TRUE(panel->isVisible());
  emit QGuiApplication::primaryScreen()->availableGeometryChanged(QRect(0, 0, 100, 100));
  EXPECT_TRUE(waitUntil([&] { return !panel->isVisible(); }));
  EXPECT_EQ(counts.closed, 1);
}

TEST_F(AnchoredPanelTest, SwitchingToAnotherDesktopClosesThePanelButTheSameDesktopRewrittenDoesNot) {
  auto panel = make([&] { return topIcon(); });
  panel->show(true);
  ASSERT_TRUE(panel->isVisible());
  auto setDesktop = [](int n) {
    return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("set_desktop"), QString::number(n)});
  };
  // The same number written again (window managers do) is no switch.
  ASSERT_EQ(QProcess::execute(QStringLiteral("xprop"),
                              {QStringLiteral("-root"), QStringLiteral("-f"), QStringLiteral("_NET_CURRENT_DESKTOP"),
                               QStringLiteral("32c"), QStringLiteral("-set"), QStringLiteral("_NET_CURRENT_DESKTOP"),
                               QStringLiteral("0")}),
            0);
  settle(300);
  EXPECT_TRUE(panel->isVisible());
  if (setDesktop(1) != 0) GTEST_SKIP() << "the window manager has no second desktop";
  EXPECT_TRUE(waitUntil([&] { return !panel->isVisible(); }));
  EXPECT_EQ(counts.closed, 1);
  setDesktop(0);
}

}  // namespace
}  // namespace talvo
