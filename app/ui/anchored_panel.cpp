#include "app/ui/anchored_panel.h"

#include <QAbstractNativeEventFilter>
#include <QCloseEvent>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>
#include <cmath>
#include <utility>

#include "app/log_categories.h"
#include "app/ui/panel_style.h"
#include "app/ui/vector_icon.h"
#include "app/ui/x11_window_states.h"
#include "core/tray/tray_bubble.h"
#include "core/tray/tray_panel_placement.h"

namespace talvo {

// The window itself: draws the bubble behind the content and reports focus loss.
class StatusPanelWindow : public QWidget {
 public:
  explicit StatusPanelWindow(std::function<void()> focusLost)
      : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
        focusLost_(std::move(focusLost)) {
    setObjectName(QStringLiteral("anchoredMenuPanel"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose, false);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, TrayBubble::arrowDepth, 0, 0);
    layout_->setSizeConstraint(QLayout::SetNoConstraint);
  }

  QVBoxLayout* contentLayout() const { return layout_; }

  // Puts the window where the placement rules say. A window manager may still place a new
  // window by its own policy when it maps it; the panel then moves back (a few times at most, so
  // a manager that insists cannot make it loop).
  void place(const QRect& frame) {
    placed_ = frame;
    corrections_ = 3;
    setGeometry(frame);
  }

  void setBubble(TrayBubble bubble) {
    const bool flipped = bubble.opening != bubble_.opening;
    bubble_ = bubble;
    if (flipped) {
      const int depth = static_cast<int>(TrayBubble::arrowDepth);
      layout_->setContentsMargins(0, bubble.opening == PanelOpening::downward ? depth : 0, 0,
                                  bubble.opening == PanelOpening::upward ? depth : 0);
    }
    updateShape();
    update();
  }

  QPainterPath bubblePath() const {
    QPainterPath path;
    for (const BubblePathElement& e : bubble_.outline(width(), height())) {
      switch (e.kind) {
        case BubblePathElement::Kind::moveTo:
          path.moveTo(e.point.x, e.point.y);
          break;
        case BubblePathElement::Kind::lineTo:
          path.lineTo(e.point.x, e.point.y);
          break;
        case BubblePathElement::Kind::quadTo:
          path.quadTo(e.control.x, e.control.y, e.point.x, e.point.y);
          break;
        case BubblePathElement::Kind::close:
          path.closeSubpath();
          break;
      }
    }
    return path;
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!compositing_) painter.fillRect(rect(), PanelStyle::surface);  // the mask cuts the corners
    const QPainterPath path = bubblePath();
    painter.fillPath(path, PanelStyle::surface);
    QColor outline = PanelStyle::muted;
    outline.setAlphaF(0.3);
    QPen pen(outline, 1);
    pen.setMiterLimit(10);
    painter.strokePath(path, pen);
  }

  void resizeEvent(QResizeEvent*) override {
    updateShape();
    keepPlaced();
  }

  void moveEvent(QMoveEvent*) override { keepPlaced(); }

  void changeEvent(QEvent* event) override {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && !isActiveWindow() && isVisible()) focusLost_();
  }

  void showEvent(QShowEvent*) override {
    compositing_ = X11WindowStates::compositing();
    updateShape();
  }

 private:
  // Without a compositing manager transparency is black: cut the window to the bubble instead.
  void updateShape() {
    if (compositing_) {
      clearMask();
    } else {
      setMask(QRegion(bubblePath().toFillPolygon().toPolygon()));
    }
  }

  void keepPlaced() {
    if (!isVisible() || placed_.isNull() || geometry() == placed_ || corrections_ <= 0) return;
    --corrections_;
    QTimer::singleShot(0, this, [this] {
      if (isVisible() && geometry() != placed_) setGeometry(placed_);
    });
  }

  std::function<void()> focusLost_;
  QRect placed_;
  int corrections_ = 0;
  QVBoxLayout* layout_;
  TrayBubble bubble_;
  bool compositing_ = true;
};

// The ordinary window that holds the content when there is no tray: the panel's dark surface
// without the bubble; its close button hides it.
class ProgramWindow : public QWidget {
 public:
  static constexpr int margin = 8;  // from the usable area's edges, as the panel keeps

  // A fixed-size window: no maximize button (a window manager would offer one that does nothing).
  explicit ProgramWindow(std::function<void()> closed)
      : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                             Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
        closed_(std::move(closed)) {
    setObjectName(QStringLiteral("programWindow"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, PanelStyle::surface);
    setPalette(palette);
    setAutoFillBackground(true);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSizeConstraint(QLayout::SetFixedSize);  // the window follows the content's size
  }

  QVBoxLayout* contentLayout() const { return layout_; }

  // The menu entry's icon when installed, else the logo itself. Looked up before the window
  // first shows, not at start: the theme lookup and the drawing cost the tray's panel time.
  void giveIcon() {
    if (iconGiven_) return;
    iconGiven_ = true;
    setWindowIcon(QIcon::fromTheme(QStringLiteral("pro.talvo.recorder"),
                                   VectorIcon::icon(QStringLiteral("talvo"), 48, PanelStyle::accent)));
  }

  // Top right of the primary screen's usable area; the frame's decorations count once known.
  void placeTopRight() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const QSize frame = frameGeometry().size().expandedTo(size());
    move(area.right() + 1 - margin - frame.width(), area.top() + margin);
  }

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->accept();
    closed_();
  }

  void showEvent(QShowEvent*) override {
    // The window manager adds its frame on mapping: place again with the frame's real size.
    QTimer::singleShot(50, this, [this] {
      if (isVisible() && !placedWithFrame_ && frameGeometry().size() != size()) {
        placedWithFrame_ = true;
        placeTopRight();
      }
    });
  }

 private:
  std::function<void()> closed_;
  QVBoxLayout* layout_;
  bool placedWithFrame_ = false;
  bool iconGiven_ = false;
};

namespace {

// Gives `window` the focus. On Wayland the compositor grants it for the launcher's activation
// token: Qt's xdg-shell plugin hands XDG_ACTIVATION_TOKEN on when a window asks for activation,
// so the variable holds the token for that call only. (No test: Weston 10, the test compositor,
// has no xdg-activation.)
void activate(QWidget* window, const QByteArray& token) {
  const bool wayland = !token.isEmpty() && QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
  if (wayland) qputenv("XDG_ACTIVATION_TOKEN", token);
  window->activateWindow();
  if (wayland) qunsetenv("XDG_ACTIVATION_TOKEN");
}

}  // namespace

AnchoredPanel::AnchoredPanel(QWidget* content, AnchorSource anchor, std::function<void()> didShow,
                             std::function<void()> didClose, QObject* parent)
    : QObject(parent),
      window_(new StatusPanelWindow([this] { focusLost(); })),
      programWindow_(new ProgramWindow([this] { close(); })),
      anchor_(std::move(anchor)),
      didShow_(std::move(didShow)),
      didClose_(std::move(didClose)) {
  if (content) setContent(content);
  // Layout changes of the content (posted to it or to the window holding it) re-measure the panel.
  window_->installEventFilter(this);
  programWindow_->installEventFilter(this);
  programWindow_->setWindowTitle(QStringLiteral("TALVO"));
  retry_.setInterval(showRetryMs);
  paintFallback_.setSingleShot(true);
  paintFallback_.setInterval(250);
  connect(&paintFallback_, &QTimer::timeout, this, &AnchoredPanel::runAfterPaint);
  connect(&retry_, &QTimer::timeout, this, [this] {
    if (present(retryFocus_)) {
      retry_.stop();
    } else if (--attemptsLeft_ <= 0) {
      retry_.stop();
      qCDebug(panelLog) << "panel not shown: no place under the tray icon";
    }
  });
  watchScreens();
}

void AnchoredPanel::setContent(QWidget* content) {
  if (content_ || !content) return;
  content_ = content;
  (windowed_ ? programWindow_->contentLayout() : window_->contentLayout())->addWidget(content_);
  content_->installEventFilter(this);
}

AnchoredPanel::~AnchoredPanel() {
  retry_.stop();
  if (filtering_) qApp->removeEventFilter(this);
  delete window_;
  delete programWindow_;
}

QWidget* AnchoredPanel::window() const {
  return windowed_ ? static_cast<QWidget*>(programWindow_) : static_cast<QWidget*>(window_);
}
// Qt counts a minimized window as visible; the user sees nothing of it.
bool AnchoredPanel::isVisible() const { return window()->isVisible() && !window()->isMinimized(); }

void AnchoredPanel::setWindowTitle(const QString& title) { programWindow_->setWindowTitle(title); }

void AnchoredPanel::setWindowed(bool windowed) {
  if (windowed == windowed_) return;
  close();
  windowed_ = windowed;
  if (windowed_) programWindow_->giveIcon();
  if (!content_) return;
  if (windowed_) {
    programWindow_->contentLayout()->addWidget(content_);
  } else {
    window_->contentLayout()->addWidget(content_);
  }
  content_->show();
}

void AnchoredPanel::presentWindowed(bool focus) {
  const bool wasVisible = programWindow_->isVisible() && !programWindow_->isMinimized();
  measure();
  programWindow_->giveIcon();
  if (!wasVisible) {
    programWindow_->contentLayout()->activate();
    programWindow_->placeTopRight();
  }
  programWindow_->setAttribute(Qt::WA_ShowWithoutActivating, !focus);
  if (programWindow_->isMinimized())
    programWindow_->setWindowState(programWindow_->windowState() & ~Qt::WindowMinimized);
  const QByteArray startupId = std::exchange(startupId_, {});
  X11WindowStates::markStartup(programWindow_, startupId);
  programWindow_->show();
  programWindow_->raise();
  if (focus) activate(programWindow_, startupId);
  X11WindowStates::completeStartup(programWindow_, startupId);
  if (!wasVisible) qCDebug(panelLog) << "panel opens as a window";
  if (!wasVisible && didShow_) didShow_();
}

ScreenRect AnchoredPanel::toPlacement(const QRectF& r) { return ScreenRect{r.x(), r.y(), r.width(), r.height()}; }

QRectF AnchoredPanel::fromPlacement(const ScreenRect& r) { return QRectF(r.x, r.y, r.width, r.height); }

void AnchoredPanel::show(bool focus) {
  retry_.stop();
  if (windowed_) return presentWindowed(focus);
  if (present(focus)) return;
  qCDebug(panelLog) << "panel waits for the tray icon's place";
  retryFocus_ = focus;
  attemptsLeft_ = showAttempts;
  retry_.start();
}

bool AnchoredPanel::present(bool focus) {
  if (!anchor_()) return false;
  const bool wasVisible = window_->isVisible();
  measure();
  if (!position()) return false;
  if (!wasVisible) {
    window_->setAttribute(Qt::WA_ShowWithoutActivating, !focus);
    window_->winId();  // the native window must exist to carry the panel states before mapping
    X11WindowStates::markAsPanel(window_);
  }
  const QByteArray startupId = std::exchange(startupId_, {});
  X11WindowStates::markStartup(window_, startupId);
  window_->show();
  window_->raise();
  if (focus) activate(window_, startupId);
  X11WindowStates::completeStartup(window_, startupId);
  if (!filtering_) {
    qApp->installEventFilter(this);
    filtering_ = true;
  }
  if (!wasVisible) {
    paintPending_ = true;
    paintFallback_.start();
  }
  if (!desktopSwitch_ || !pressesElsewhere_) whenPainted([this] { startWatches(); });
  if (!wasVisible) qCDebug(panelLog) << "panel opens" << (focus ? "with focus" : "without focus");
  if (!wasVisible && didShow_) didShow_();
  return true;
}

void AnchoredPanel::whenPainted(std::function<void()> then) {
  if (paintPending_) {
    afterPaint_.push_back(std::move(then));
  } else {
    QTimer::singleShot(0, this, std::move(then));
  }
}

void AnchoredPanel::runAfterPaint() {
  paintPending_ = false;
  paintFallback_.stop();
  for (auto& then : std::exchange(afterPaint_, {})) then();
}

void AnchoredPanel::startWatches() {
  if (!window_->isVisible()) return;
  // A switch of desktops matters only to a shown panel, so it is heard from the first showing on.
  if (!desktopSwitch_) {
    desktopSwitch_ = X11WindowStates::watchDesktopSwitch([this] { closeSoon("the desktop was switched"); });
  }
  if (!pressesElsewhere_) pressesElsewhere_ = X11WindowStates::watchPointerPresses([this] { pressedAnywhere(); });
}

void AnchoredPanel::measure() {
  if (!content_) return;
  content_->adjustSize();
  const QSize hint = (windowed_ ? programWindow_->contentLayout() : window_->contentLayout())->sizeHint();
  if (hint.width() > 0 && hint.height() > 10) contentSize_ = hint;
}

bool AnchoredPanel::position() {
  lastAnchor_ = anchor_();
  if (!lastAnchor_) {
    closeFor("the tray icon is gone");
    return false;
  }
  const ScreenRect frame =
      TrayPanelPlacement::frame(lastAnchor_->rect, ScreenSize{contentSize_.width(), contentSize_.height()},
                                lastAnchor_->visibleFrame, gap, lastAnchor_->opening);
  if (!frame.isFinite()) {
    closeFor("no place on the screen");
    return false;
  }
  const double arrow = TrayPanelPlacement::arrowX(lastAnchor_->rect, frame);
  if (std::abs(arrow - arrowX_) > 0.5 || !std::isfinite(arrowX_)) arrowX_ = std::isfinite(arrow) ? arrow : 180;
  window_->setBubble(TrayBubble{arrowX_, lastAnchor_->opening});
  window_->place(fromPlacement(frame).toAlignedRect());
  return true;
}

void AnchoredPanel::close() {
  retry_.stop();
  const bool wasVisible = isVisible();
  window_->hide();
  programWindow_->hide();
  if (filtering_) {
    qApp->removeEventFilter(this);
    filtering_ = false;
  }
  pressesElsewhere_.reset();
  runAfterPaint();  // nothing waits for a paint that will not come
  if (wasVisible) qCDebug(panelLog) << "panel closed";
  if (wasVisible && didClose_) didClose_();
}

void AnchoredPanel::closeFor(const char* reason) {
  if (window_->isVisible()) qCDebug(panelLog) << "panel closes:" << reason;
  close();
}

void AnchoredPanel::closeSoon(const char* reason) {
  // An ordinary window stays through desktop and screen changes, like any other.
  QTimer::singleShot(0, this, [this, reason] {
    if (!windowed_) closeFor(reason);
  });
}

std::optional<QRect> AnchoredPanel::iconRect() const {
  if (!lastAnchor_) return std::nullopt;
  QRect rect = fromPlacement(lastAnchor_->rect).toAlignedRect();
  // A click point stands for an icon of unknown size around it.
  if (lastAnchor_->rect.width <= 0 || lastAnchor_->rect.height <= 0) {
    rect = QRect(rect.topLeft() - QPoint(16, 16), QSize(32, 32));
  }
  return rect;
}

bool AnchoredPanel::ownsWindow(QWidget* window) const {
  for (QWidget* w = window; w; w = w->parentWidget()) {
    if (w == window_) return true;
  }
  return false;
}

void AnchoredPanel::focusLost() {
  // Decided once the new active window is known.
  QTimer::singleShot(0, this, [this] {
    if (!window_->isVisible() || window_->isActiveWindow()) return;
    if (keepOpen_ && keepOpen_()) return;
    if (QApplication::activeModalWidget()) return;
    if (QWidget* active = QApplication::activeWindow(); active && ownsWindow(active)) return;
    if (auto icon = iconRect(); icon && icon->contains(QCursor::pos())) return;  // the icon's action decides
    closeFor("another window took the focus");
  });
}

void AnchoredPanel::pressedAnywhere() {
  // A desktop's panel bar or an empty desktop takes no focus when clicked, so focus loss alone
  // misses those clicks. The raw press carries no position: it is judged where the pointer is.
  if (!window_->isVisible()) return;
  const QPoint at = QCursor::pos();
  if (QApplication::widgetAt(at)) return;  // the program's own windows: the event filter judges those
  if (auto icon = iconRect(); icon && icon->contains(at)) return;  // the icon's action decides
  if (keepOpen_ && keepOpen_()) return;                            // its own dialog is open
  if (QApplication::activeModalWidget()) return;
  closeSoon("a click in another program");
}

void AnchoredPanel::watchScreens() {
  auto screensChanged = [this] { closeSoon("the screens changed"); };
  auto watch = [this, screensChanged](QScreen* screen) {
    connect(screen, &QScreen::geometryChanged, this, screensChanged);
    connect(screen, &QScreen::availableGeometryChanged, this, screensChanged);
  };
  for (QScreen* screen : QGuiApplication::screens()) watch(screen);
  connect(qApp, &QGuiApplication::screenAdded, this, [watch, screensChanged](QScreen* screen) {
    watch(screen);
    screensChanged();
  });
  connect(qApp, &QGuiApplication::screenRemoved, this, screensChanged);
  connect(qApp, &QGuiApplication::primaryScreenChanged, this, screensChanged);
}

bool AnchoredPanel::eventFilter(QObject* watched, QEvent* event) {
  if (paintPending_ && watched == window_ && event->type() == QEvent::Paint) {
    paintPending_ = false;
    QMetaObject::invokeMethod(this, &AnchoredPanel::runAfterPaint, Qt::QueuedConnection);  // once painted
  }
  if (((watched == content_ && content_) || watched == window_ || watched == programWindow_) &&
      event->type() == QEvent::LayoutRequest) {
    QTimer::singleShot(0, this, [this] {
      const QSizeF before = contentSize_;
      measure();
      if (std::abs(before.width() - contentSize_.width()) <= 0.5 &&
          std::abs(before.height() - contentSize_.height()) <= 0.5) {
        return;
      }
      if (!windowed_ && window_->isVisible()) position();
    });
    return false;
  }
  if (windowed_) return false;  // an ordinary window: none of the panel's closing rules
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    auto* widget = qobject_cast<QWidget*>(watched);
    if (key->key() == Qt::Key_Escape && widget && widget->window() == window_ && !hasOpenOverlay()) {
      closeFor("Escape");
      return true;
    }
    return false;
  }
  if (event->type() != QEvent::MouseButtonPress) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (!widget) return false;  // presses reach QWindows first and widgets after; judge the widget
  const QPoint global = static_cast<QMouseEvent*>(event)->globalPosition().toPoint();
  if (auto icon = iconRect(); icon && icon->contains(global)) return false;  // the icon toggles the panel
  QWidget* target = widget->window();
  if (ownsWindow(target)) return false;
  if (QWidget* modal = QApplication::activeModalWidget(); modal && target == modal) return false;
  closeSoon("a click outside it");
  return false;
}

}  // namespace talvo
