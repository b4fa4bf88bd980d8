#include "app/ui/tray_presence.h"

#include <QAction>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <algorithm>
#include <vector>

#include "app/ui/anchored_menu_panel.h"
#include "app/ui/desktop_appearance.h"
#include "app/ui/status_notifier_item.h"
#include "app/ui/tray_anchor_lookup.h"
#include "app/ui/x11_window_states.h"
#include "core/ink_contrast.h"

namespace talvo {

// What the program found about trays, for a look at a log (QT_LOGGING_RULES="talvo.tray.debug=true").
Q_LOGGING_CATEGORY(trayLog, "talvo.tray", QtInfoMsg)

namespace {

const QString idleTip = QStringLiteral("TALVO");
const QString recordingTip = QStringLiteral("TALVO — идёт запись");

}  // namespace

QImage TrayPresence::textImage(bool recording, bool darkBar) {
  QImage image(96, 48, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(28);
  painter.setFont(font);
  const QColor ink = recording ? (darkBar ? QColor(255, 140, 130) : QColor(190, 20, 20))
                               : (darkBar ? QColor(Qt::white) : QColor(Qt::black));
  painter.setPen(ink);
  painter.drawText(image.rect(), Qt::AlignCenter, recording ? QStringLiteral("REC") : QStringLiteral("TALVO"));
  return image;
}

namespace {

bool symbolicIconInstalled() {
  static const bool installed = QIcon::hasThemeIcon(QString::fromLatin1(TrayPresence::symbolicIconName));
  return installed;
}

}  // namespace

TrayPresence::TrayPresence(AnchoredMenuPanel& panel, QMenu& menu, DesktopAppearance& appearance, QObject* parent)
    : QObject(parent),
      panel_(panel),
      menu_(menu),
      appearance_(appearance),
      watcherWatch_(new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"),
                                            QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForOwnerChange,
                                            this)) {
  connect(watcherWatch_, &QDBusServiceWatcher::serviceOwnerChanged, this,
          [this](const QString&, const QString&, const QString& owner) {
            watcherPresent_ = !owner.isEmpty();
            poll();
          });
  poll_.setInterval(pollMs);
  connect(&poll_, &QTimer::timeout, this, &TrayPresence::poll);
  // A tray that restarts (maybe with another look) takes the icon again by itself: look at the
  // new bar once it has, and at once for a tray where there was none.
  trayStarts_ = X11WindowStates::watchTrayStarts([this] {
    QTimer::singleShot(placementWaitMs, this, &TrayPresence::sampleBar);
    poll();
  });
  // A new theme repaints the bar: look at it again once it has.
  connect(&appearance_, &DesktopAppearance::changed, this,
          [this] { QTimer::singleShot(500, this, &TrayPresence::sampleBar); });
}

TrayPresence::~TrayPresence() {
  delete icon_;
  delete sni_;
}

void TrayPresence::start() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  watcherPresent_ = bus.isConnected() &&
                    bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher")).value();
  noTraySince_.start();
  poll();
  poll_.start();
}

TrayPresence::Host TrayPresence::detect() const {
  // A shell's watcher and its host go together: while the item is hosted, the watcher's presence
  // (heard from the bus) is enough, and no call is made.
  if (watcherPresent_ && (host_ == Host::statusNotifier || StatusNotifierItem::hostAvailable())) {
    return Host::statusNotifier;
  }
  if (X11WindowStates::systemTray() != 0) return Host::xembed;
  return Host::window;
}

void TrayPresence::poll() {
  const Host found = detect();
  if (found == Host::window) {
    if (host_ == Host::window) return;
    poll_.setInterval(pollMs);
    // A shell that restarts leaves the bar empty for a moment: only a lasting absence counts.
    if (!noTraySince_.isValid()) noTraySince_.start();
    if (noTraySince_.elapsed() + pollMs / 2 >= graceMs) switchTo(Host::window);
    return;
  }
  noTraySince_.invalidate();
  if (found != host_) switchTo(found);

  poll_.setInterval(host_ == Host::window ? pollMs : hostedPollMs);
}

void TrayPresence::switchTo(Host host) {
  qCDebug(trayLog) << "host" << int(host_) << "->" << int(host);
  const bool windowShown = host_ == Host::window && panel_.isVisible();
  const bool first = host_ == Host::undecided;
  delete icon_;
  delete sni_;
  lastClick_.reset();
  barIsDark_.reset();
  shownImage_.reset();
  host_ = host;
  ++generation_;
  if (host == Host::window) {
    panel_.setWindowed(true);
    // Ctrl+Q quits from the window, as "Выйти" does from the tray menu.
    for (QAction* action : menu_.actions()) {
      if (action->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_Q)) panel_.window()->addAction(action);
    }
    applyPicture();
    emit hostChanged();
    emit openPanel();  // nothing else shows the program now
    return;
  }
  panel_.setWindowed(false);
  if (host == Host::xembed) {
    icon_ = new QSystemTrayIcon(this);
    icon_->setContextMenu(&menu_);
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
      if (reason != QSystemTrayIcon::Trigger) return;
      lastClick_ = QCursor::pos();
      emit clicked();
    });
    applyPicture();
    icon_->show();
    undockedGeometry_ = icon_->geometry();
  } else {
    sni_ = new StatusNotifierItem(&menu_, this);
    connect(sni_, &StatusNotifierItem::activated, this, [this](QPoint at) {
      // (0, 0) is what hosts send when they know no position.
      if (at.isNull()) {
        lastClick_.reset();
      } else {
        lastClick_ = at;
      }
      emit clicked();
    });
    connect(sni_, &StatusNotifierItem::contextMenuRequested, this, &TrayPresence::popMenuAt);
    applyPicture();
    sni_->publish();
  }
  emit hostChanged();
  emit lookChanged();
  // At launch, and when the window was showing, the panel opens under the new icon.
  openAfterPlacement_ = first || windowShown;
  placementWait_.start();
  openWhenPlaced(generation_);
}

void TrayPresence::openWhenPlaced(int generation) {
  if (generation != generation_) return;
  bool placed = false;
  if (icon_) {
    // Before it docks, the icon reports a placeholder rectangle at the screen's corner: wait for
    // the tray to move it.
    placed = icon_->geometry() != undockedGeometry_ && TrayAnchorLookup::fromIcon(*icon_);
    if (placed) sampleBar();
  } else if (sni_) {
    placed = sni_->registered();  // hosts never tell where: the bar's edge stands in
  }
  if (placed || placementWait_.hasExpired(placementWaitMs)) {
    if (openAfterPlacement_) {
      openAfterPlacement_ = false;
      emit openPanel();
    }
    return;
  }
  QTimer::singleShot(20, this, [this, generation] { openWhenPlaced(generation); });
}

void TrayPresence::sampleBar() {
  if (!icon_) return;
  std::optional<bool> dark;
  if (auto ink = X11WindowStates::systemTrayForeground()) {
    // The tray names the ink it wants: a light ink means a dark bar.
    dark = !InkContrast::lightInkOn(InkContrast::relativeLuminance((*ink)[0] >> 8, (*ink)[1] >> 8, (*ink)[2] >> 8));
  } else {
    // The bar's own pixels in two thin columns beside the icon.
    const QRect icon = icon_->geometry();
    QScreen* screen = icon.isValid() ? QGuiApplication::screenAt(icon.center()) : nullptr;
    if (!screen) return;
    std::vector<double> luminances;
    for (const QRect& strip : {QRect(icon.left() - 3, icon.top(), 3, icon.height()),
                               QRect(icon.right() + 1, icon.top(), 3, icon.height())}) {
      const QRect part = strip.intersected(screen->geometry());
      if (part.isEmpty()) continue;
      const QImage shot = screen->grabWindow(0, part.x(), part.y(), part.width(), part.height()).toImage();
      for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
          const QColor c = shot.pixelColor(x, y);
          luminances.push_back(InkContrast::relativeLuminance(c.red(), c.green(), c.blue()));
        }
      }
    }
    if (luminances.empty()) return;
    std::nth_element(luminances.begin(), luminances.begin() + luminances.size() / 2, luminances.end());
    dark = InkContrast::lightInkOn(luminances[luminances.size() / 2]);
  }
  qCDebug(trayLog) << "bar sampled, dark:" << (dark ? *dark : -1);
  if (dark != barIsDark_) {
    barIsDark_ = dark;
    emit lookChanged();
  }
}

TrayLook TrayPresence::look() const {
  TrayLook look;
  look.dark = barIsDark_.value_or(appearance_.trayBarIsDark());
  look.reduceMotion = appearance_.reduceMotion();
  look.devicePixelRatio = qApp->devicePixelRatio();
  return look;
}

void TrayPresence::show(const QImage& image, bool recording) {
  image_ = image;
  recording_ = recording;
  applyPicture();
}

void TrayPresence::applyPicture() {
  const QString tip = recording_ ? recordingTip : idleTip;
  panel_.setWindowTitle(tip);
  const QImage picture = image_.isNull() ? textImage(recording_, look().dark) : image_;
  // The meter asks ten times a second; a frame like the last one costs the tray a repaint for
  // nothing.
  const bool same = shownImage_ && picture == *shownImage_;
  shownImage_ = picture;
  if (icon_) {
    if (!same) icon_->setIcon(QIcon(QPixmap::fromImage(picture)));
    if (icon_->toolTip() != tip) icon_->setToolTip(tip);
  }
  if (sni_) {
    if (!same) sni_->setIcon(picture);
    const bool logo = !recording_ && !image_.isNull();
    sni_->setIconName(logo && symbolicIconInstalled() ? QString::fromLatin1(symbolicIconName) : QString());
    sni_->setToolTip(tip);
  }
}

std::optional<TrayAnchor> TrayPresence::panelAnchor() const {
  if (icon_) {
    if (auto anchor = TrayAnchorLookup::fromIcon(*icon_)) return anchor;
  }
  // Trays that do not tell where the icon is: at the click, or at the bar's edge.
  if (lastClick_) return TrayAnchorLookup::fromClick(*lastClick_);
  return TrayAnchorLookup::reminderFallback(nullptr);
}

std::optional<TrayAnchor> TrayPresence::reminderAnchor(QScreen* preferred) const {
  if (icon_) {
    if (auto anchor = TrayAnchorLookup::fromIcon(*icon_)) return anchor;
  }
  return TrayAnchorLookup::reminderFallback(preferred);
}

void TrayPresence::popMenuAt(QPoint at) {
  const std::optional<TrayAnchor> anchor =
      at.isNull() ? TrayAnchorLookup::reminderFallback(nullptr) : TrayAnchorLookup::fromClick(at);
  if (!anchor) return;
  const QRect point = AnchoredMenuPanel::fromPlacement(anchor->rect).toAlignedRect();
  const int height = menu_.sizeHint().height();
  menu_.popup(anchor->opening == PanelOpening::upward ? QPoint(point.left(), point.top() - height) : point.topLeft());
}

}  // namespace talvo
