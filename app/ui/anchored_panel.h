#pragma once
// A dark bubble that hangs from the tray icon, hosting one content widget (the capture panel
// or a meeting reminder). It is a frameless top-level window kept out of the taskbar and the
// window switcher, above other windows and on every desktop; it sizes itself to its content,
// keeps its arrow under the icon, and closes on a click elsewhere in the program, on Escape, on
// losing focus (unless its own dialog is open), when screens change, when the user switches to
// another virtual desktop and when the icon's anchor disappears. A click on the tray icon itself is left to the icon's
// own action.
//
// Without a tray there is nothing to hang from: `setWindowed(true)` moves the content into an
// ordinary window (title, decorations, taskbar entry, no arrow) at the top right of the primary
// screen's usable area, which only its own close button or `close()` hides.
//
//   hidden --show(): anchor found--> visible --close()/closing rule--> hidden
//      \--no anchor yet: retry 10 × 0.1 s--/
//
// Anchors and the placement rules use Qt's desktop coordinates (y growing downwards).
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "core/tray/tray_anchor.h"

class QAbstractNativeEventFilter;
class QWidget;

namespace talvo {

class ProgramWindow;
class StatusPanelWindow;

class AnchoredPanel : public QObject {
  Q_OBJECT
 public:
  using AnchorSource = std::function<std::optional<TrayAnchor>()>;
  static constexpr int showAttempts = 10;
  static constexpr int showRetryMs = 100;
  static constexpr double gap = 6;

  // Takes ownership of `content`; none yet means setContent() gives it before the panel shows.
  AnchoredPanel(QWidget* content, AnchorSource anchor, std::function<void()> didShow = {},
                std::function<void()> didClose = {}, QObject* parent = nullptr);
  ~AnchoredPanel() override;
  // The content, once (takes ownership).
  void setContent(QWidget* content);

  void show(bool focus);
  // The launcher's startup id (X11) or activation token (Wayland) for the next show (a
  // user-asked one): it lets a strict window manager or compositor give the panel the focus.
  void setStartupId(const QByteArray& startupId) { startupId_ = startupId; }
  void close();
  // Runs `then` once a panel just shown has painted (at once, on the next turn, otherwise).
  void whenPainted(std::function<void()> then);
  bool isVisible() const;
  // While this answers true (the content shows its own dialog), losing focus keeps the panel.
  void setKeepOpenWhile(std::function<bool()> condition) { keepOpen_ = std::move(condition); }
  // The content shows a dialog of its own (an attached sheet): the panel stays, and Escape is
  // the dialog's.
  bool hasOpenOverlay() const { return keepOpen_ && keepOpen_(); }

  // The window showing the content now: the bubble, or the ordinary window when windowed.
  QWidget* window() const;
  void setWindowed(bool windowed);
  bool windowed() const { return windowed_; }
  // The ordinary window's title (also when it is not in use yet).
  void setWindowTitle(const QString& title);
  double arrowX() const { return arrowX_; }
  // The tray icon's rectangle in Qt's desktop coordinates (a small square around a click point).
  std::optional<QRect> iconRect() const;

  // Qt's rectangles <-> the placement rules' toolkit-free ones (same coordinates).
  static ScreenRect toPlacement(const QRectF& rect);
  static QRectF fromPlacement(const ScreenRect& rect);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool present(bool focus);
  void presentWindowed(bool focus);
  bool position();
  void startWatches();
  void runAfterPaint();
  void measure();
  void focusLost();
  void pressedAnywhere();
  void closeFor(const char* reason);
  void closeSoon(const char* reason);
  void watchScreens();
  bool ownsWindow(QWidget* window) const;

  StatusPanelWindow* window_;
  ProgramWindow* programWindow_;
  bool windowed_ = false;
  QWidget* content_ = nullptr;
  QByteArray startupId_;
  AnchorSource anchor_;
  std::function<void()> didShow_;
  std::function<void()> didClose_;
  std::function<bool()> keepOpen_;
  QTimer retry_;
  int attemptsLeft_ = 0;
  bool retryFocus_ = false;
  bool filtering_ = false;
  double arrowX_ = 180;
  QSizeF contentSize_{360, 220};
  std::optional<TrayAnchor> lastAnchor_;
  std::unique_ptr<QAbstractNativeEventFilter> desktopSwitch_;
  // Work that costs round trips to the X server waits until a panel just shown has painted, so it
  // never holds back its first picture (or a quarter second, should no paint come).
  bool paintPending_ = false;
  std::vector<std::function<void()>> afterPaint_;
  QTimer paintFallback_;
  // While the panel shows: presses in other programs' windows, which may not take the focus.
  std::unique_ptr<QObject> pressesElsewhere_;
};

}  // namespace talvo
