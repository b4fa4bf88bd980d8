#include "app/tray/tray_presence.h"

#include <QAction>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <algorithm>
#include <vector>

#include "app/ui/anchored_panel.h"
#include "app/ui/desktop_appearance.h"
#include "app/tray/status_notifier_item.h"
#include "app/tray/tray_anchor_lookup.h"
#include "app/ui/x11_window_states.h"
#include "core/tray/ink_contrast.h"

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

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

}  // namespace

TrayPresence::TrayPresence(AnchoredPanel& panel, QMenu& menu, DesktopAppearance& appearance, QObject* parent)
    : QObject(parent),
      panel_(panel),
      menu_(menu),
      appearance_(appearance),
      watcherWatch_(new QDBusServiceWatcher(watcherService, QDBusConnection::sessionBus(),
                                            QDBusServiceWatcher::WatchForOwnerChange, this)) {
  clock_.start();
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this, [this] {
    apply(decision_.tick(now()));
    schedule();
  });
  connect(&placementPoll_, &QTimer::timeout, this, &TrayPresence::checkPlacement);
  // A shell's watcher comes and goes with the shell (and with GNOME's extension at every lock);
  // whether a host shows items is asked each time it comes and told by the host's signals.
  connect(watcherWatch_, &QDBusServiceWatcher::serviceOwnerChanged, this,
          [this](const QString&, const QString&, const QString& owner) {
            watcherPresent_ = !owner.isEmpty();
            hostRegistered_ = false;
            if (watcherPresent_) askForHost();
            trayMayHaveChanged();
          });
  QDBusConnection bus = QDBusConnection::sessionBus();
  for (const char* signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"}) {
    bus.connect(watcherService, watcherPath, watcherService, QString::fromLatin1(signal), this, SLOT(hostSignal()));
  }
  // An XEmbed tray that starts, restarts (maybe with another look) or ends: look at the new bar
  // once the icon has docked there.
  trayWatch_ = X11WindowStates::watchTray([this] {
    QTimer::singleShot(TrayDecision::placementWaitMs, this, &TrayPresence::sampleBar);
    trayMayHaveChanged();
  });
  // A new theme repaints the bar: look at it again once it has.
  connect(&appearance_, &DesktopAppearance::changed, this,
          [this] { QTimer::singleShot(500, this, &TrayPresence::sampleBar); });
  watchScreenLock();
}

TrayPresence::~TrayPresence() {
  stopWatchingPlacement();
  delete icon_;
  delete sni_;
}

void TrayPresence::start() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  watcherPresent_ = bus.isConnected() && bus.interface()->isServiceRegistered(watcherService).value();
  // With a watcher, its answer about a host decides between the two kinds of tray before the
  // first icon is made.
  if (watcherPresent_) {
    askForHost();
  } else {
    begin();
  }
}

void TrayPresence::begin() {
  if (begun_) return;
  begun_ = true;
  apply(decision_.start(now(), trayNow(), locked_));
  schedule();
}

TrayDecision::Tray TrayPresence::trayNow() const {
  if (watcherPresent_ && hostRegistered_) return TrayDecision::Tray::statusNotifier;
  if (X11WindowStates::systemTray() != 0) return TrayDecision::Tray::xembed;
  return TrayDecision::Tray::none;
}

void TrayPresence::trayMayHaveChanged() {
  if (!begun_) return;
  const bool windowShown = decision_.presence() == Host::window && panel_.isVisible();
  apply(decision_.trayChanged(now(), trayNow(), windowShown));
  schedule();
}

void TrayPresence::hostSignal() {
  if (watcherPresent_) askForHost();
}

void TrayPresence::askForHost() {
  QDBusMessage get = QDBusMessage::createMethodCall(
      watcherService, watcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
  // A watcher that owns its name before it serves its object does not answer yet: its host's
  // registration signal asks again.
  auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(get, 1000), this);
  const int query = ++hostQuery_;
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this, query](QDBusPendingCallWatcher* done) {
    done->deleteLater();
    if (query != hostQuery_) return;
    const QDBusMessage reply = done->reply();
    const bool answered = reply.type() == QDBusMessage::ReplyMessage;
    hostRegistered_ = watcherPresent_ && answered && !reply.arguments().isEmpty() &&
                      reply.arguments().first().value<QDBusVariant>().variant().toBool();
    qCDebug(trayLog) << "StatusNotifierItem host registered:" << hostRegistered_;
    if (!answered) qCDebug(trayLog) << "the watcher did not answer:" << reply.errorName();
    // A watcher busy at login may answer late, or not serve its object yet; a host already
    // registered sends no signal again, so the question is asked again for a while. Meanwhile
    // the program goes on with the tray it sees, and moves to the host once it answers.
    if (answered) {
      unansweredHostQueries_ = 0;
    } else if (watcherPresent_ && ++unansweredHostQueries_ <= maximumUnansweredHostQueries) {
      QTimer::singleShot(1000, this, [this, query] {
        if (query == hostQuery_ && watcherPresent_) askForHost();
      });
    }
    if (begun_) {
      trayMayHaveChanged();
    } else {
      begin();
    }
  });
}

void TrayPresence::watchScreenLock() {
  QDBusConnection session = QDBusConnection::sessionBus();
  for (const char* service : {"org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver"}) {
    session.connect(QString(), QString(), QString::fromLatin1(service), QStringLiteral("ActiveChanged"), this,
                    SLOT(screenSaverActiveChanged(bool)));
  }
  // logind's LockedHint on this process's session (none without a system bus or logind).
  QDBusConnection system = QDBusConnection::systemBus();
  if (!system.isConnected()) return;
  QDBusMessage find = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("GetSessionByPID"));
  find << uint(QCoreApplication::applicationPid());
  auto* pending = new QDBusPendingCallWatcher(system.asyncCall(find, 2000), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
    done->deleteLater();
    const QDBusPendingReply<QDBusObjectPath> reply = *done;
    if (reply.isError()) return;
    QDBusConnection::systemBus().connect(QStringLiteral("org.freedesktop.login1"), reply.value().path(),
                                         QStringLiteral("org.freedesktop.DBus.Properties"),
                                         QStringLiteral("PropertiesChanged"), this,
                                         SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
  });
}

void TrayPresence::screenSaverActiveChanged(bool active) { lockChanged(active); }

void TrayPresence::sessionPropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&) {
  if (interface == QLatin1String("org.freedesktop.login1.Session") && changed.contains(QStringLiteral("LockedHint"))) {
    lockChanged(changed.value(QStringLiteral("LockedHint")).toBool());
  }
}

void TrayPresence::lockChanged(bool locked) {
  if (locked == locked_) return;
  locked_ = locked;
  qCDebug(trayLog) << "screen locked:" << locked;
  if (!begun_) return;
  apply(decision_.lockChanged(now(), locked));
  schedule();
}

void TrayPresence::userOpens() {
  if (!begun_) begin();
  // The caller opens the panel (with focus); only a switch to the window is carried out here.
  const TrayDecision::Step step = decision_.userOpens(now());
  if (step.switchTo) switchTo(*step.switchTo);
  schedule();
}

void TrayPresence::apply(const TrayDecision::Step& step) {
  if (step.switchTo) switchTo(*step.switchTo);
  switch (step.open) {
    case TrayDecision::Open::none:
      break;
    case TrayDecision::Open::withFocus:
      emit openPanel();  // the launch: the user started the program
      break;
    case TrayDecision::Open::withoutFocus:
      panel_.show(false);  // the window the user looked at, now under the icon
      break;
  }
}

void TrayPresence::schedule() {
  const std::optional<std::int64_t> at = decision_.deadline();
  if (!at) {
    deadline_.stop();
    return;  // a placement watch ends by itself: an icon may still dock late
  }
  deadline_.start(int(std::clamp<std::int64_t>(*at - now(), 0, 60'000)));
}

void TrayPresence::switchTo(Host host) {
  qCDebug(trayLog) << "shown as" << int(host);
  delete icon_;
  delete sni_;
  lastClick_.reset();
  barIsDark_.reset();
  shownImage_.reset();
  stopWatchingPlacement();
  if (host == Host::window) {
    panel_.setWindowed(true);
    // Ctrl+Q quits from the window, as "Выйти" does from the tray menu.
    for (QAction* action : menu_.actions()) {
      if (action->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_Q)) panel_.window()->addAction(action);
    }
    applyPicture();
    emit hostChanged();
    return;
  }
  // The window, if it shows, gives way; the decision says whether the panel follows.
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
    connect(sni_, &StatusNotifierItem::activated, this, [this](QPoint pixels) {
      // (0, 0) is what hosts send when they know no position.
      if (!pixels.isNull()) {
        if (auto at = TrayAnchorLookup::fromScreenPixels(pixels)) clickedAt(*at);
      }
      emit clicked();
    });
    connect(sni_, &StatusNotifierItem::contextMenuRequested, this, &TrayPresence::popMenuAt);
    applyPicture();
    sni_->publish();
  }
  emit hostChanged();
  emit lookChanged();
  placementSince_ = now();
  if (icon_ || decision_.deadline()) watchPlacement();
}

void TrayPresence::watchPlacement() {
  // Neither kind of tray says when the icon is in place. The decision waits a second at most;
  // an XEmbed icon is watched longer, as a busy tray may dock it seconds later: then the bar is
  // read and a panel that opened meanwhile moves under the icon.
  placementPoll_.setInterval(20);
  lateGeometry_ = QRect();
  placementPoll_.start();
  if (!placementFilter_) {
    qApp->installEventFilter(this);
    placementFilter_ = true;
  }
  checkPlacement();
}

void TrayPresence::stopWatchingPlacement() {
  placementPoll_.stop();
  if (placementFilter_ && qApp) {
    qApp->removeEventFilter(this);
    placementFilter_ = false;
  }
}

bool TrayPresence::eventFilter(QObject* watched, QEvent* event) {
  // Checked once the expose is handled: the window's new geometry came before it.
  if (placementFilter_ && event->type() == QEvent::Expose && !placementCheckQueued_) {
    placementCheckQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          placementCheckQueued_ = false;
          if (placementPoll_.isActive()) checkPlacement();
        },
        Qt::QueuedConnection);
  }
  return QObject::eventFilter(watched, event);
}

void TrayPresence::checkPlacement() {
  const bool waiting = decision_.deadline().has_value();
  bool placed = false;
  if (icon_) {
    // Before it docks, the icon reports a placeholder rectangle at the screen's corner: wait for
    // the tray to move it.
    placed = icon_->geometry() != undockedGeometry_ && TrayAnchorLookup::fromIcon(*icon_);
    if (!waiting) {
      // Past the decision's wait, a slower look; a busy tray may still be laying the icon out
      // when it docks it, so a late icon counts as placed once it has held still for 100 ms.
      const QRect geometry = icon_->geometry();
      if (placed && geometry == lateGeometry_ && now() - lateGeometrySince_ >= 100) {
        qCDebug(trayLog) << "icon docked late";
        stopWatchingPlacement();
        QTimer::singleShot(0, this, &TrayPresence::sampleBar);
        if (panel_.isVisible() && !panel_.windowed()) panel_.show(false);
        return;
      }
      if (!placed || geometry != lateGeometry_) {
        lateGeometry_ = placed ? geometry : QRect();
        lateGeometrySince_ = now();
      }
      if (now() - placementSince_ > lateDockWaitMs) stopWatchingPlacement();
      placementPoll_.setInterval(100);
      return;
    }
  } else if (sni_ && waiting) {
    placed = sni_->registered();  // hosts never tell where: the bar's edge stands in
  } else {
    stopWatchingPlacement();
    return;
  }
  if (!placed) return;
  stopWatchingPlacement();
  apply(decision_.iconPlaced(now()));
  schedule();
  // The bar's colour once the panel shows: the grab takes a while the user would wait for.
  if (icon_) {
    panel_.whenPainted([self = QPointer<TrayPresence>(this)] {
      if (self) self->sampleBar();
    });
  }
}

void TrayPresence::clickedAt(QPoint at) {
  lastClick_ = at;
  // A host's click is the first word of where its bar is (desktops such as MATE, Xfce and
  // Cinnamon offer both kinds of tray on the same bar): read it once, after the click's own
  // drawing; a new theme reads it again.
  if (!barIsDark_) QTimer::singleShot(TrayDecision::placementWaitMs, this, &TrayPresence::sampleBar);
}

void TrayPresence::sampleBar() {
  // Where the bar is: beside the icon's own rectangle on an XEmbed tray, else along the screen's
  // edge at a host's last click (desktops such as MATE, Xfce and Cinnamon offer both kinds of
  // tray and give both the same bar).
  if (!icon_ && !(sni_ && lastClick_)) return;
  std::optional<bool> dark;
  if (auto ink = X11WindowStates::systemTrayForeground()) {
    // The tray names the ink it wants: a light ink means a dark bar.
    dark = !InkContrast::lightInkOn(InkContrast::relativeLuminance((*ink)[0] >> 8, (*ink)[1] >> 8, (*ink)[2] >> 8));
  } else {
    const QRect icon = icon_ ? icon_->geometry() : QRect();
    if (icon_ && !icon.isValid()) return;
    const QPoint at = icon_ ? icon.center() : *lastClick_;
    QScreen* screen = QGuiApplication::screenAt(at);
    if (!screen) return;
    std::vector<QRect> strips;
    if (icon_) {
      // Two thin columns beside the icon.
      strips = {QRect(icon.left() - 3, icon.top(), 3, icon.height()),
                QRect(icon.right() + 1, icon.top(), 3, icon.height())};
    } else {
      // A host's icon is as large as its bar and its size unknown, so the outermost line of the
      // bar is read instead: the screen's edge nearest the click, 100 points either side of it.
      const QRect g = screen->geometry();
      const int toTop = at.y() - g.top(), toBottom = g.bottom() - at.y(), toLeft = at.x() - g.left(),
                toRight = g.right() - at.x();
      const int nearest = std::min({toTop, toBottom, toLeft, toRight});
      if (nearest == toTop || nearest == toBottom) {
        strips = {QRect(at.x() - 100, nearest == toTop ? g.top() : g.bottom() - 1, 200, 2)};
      } else {
        strips = {QRect(nearest == toLeft ? g.left() : g.right() - 1, at.y() - 100, 2, 200)};
      }
    }
    std::vector<double> luminances;
    for (const QRect& strip : strips) {
      const QRect part = strip.intersected(screen->geometry());
      if (part.isEmpty()) continue;
      // The grab counts from the screen's own corner, not the desktop's.
      const QRect local = part.translated(-screen->geometry().topLeft());
      const QImage shot = screen->grabWindow(0, local.x(), local.y(), local.width(), local.height()).toImage();
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
  // A host picks among sizes up to 64 pixels: draw large enough for the largest.
  if (sni_) look.devicePixelRatio = std::max(look.devicePixelRatio, 4.0);
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
  // Trays that do not tell where the icon is: at the click, in the pointer's column (an entry of
  // the host's own menu), or at the bar's edge.
  if (lastClick_) return TrayAnchorLookup::fromClick(*lastClick_);
  if (sni_) {
    if (auto anchor = TrayAnchorLookup::fromPointer()) return anchor;
  }
  return TrayAnchorLookup::reminderFallback(nullptr);
}

std::optional<TrayAnchor> TrayPresence::reminderAnchor(QScreen* preferred) const {
  if (icon_) {
    if (auto anchor = TrayAnchorLookup::fromIcon(*icon_)) return anchor;
  }
  return TrayAnchorLookup::reminderFallback(preferred);
}

void TrayPresence::popMenuAt(QPoint pixels) {
  std::optional<QPoint> at;
  if (!pixels.isNull()) at = TrayAnchorLookup::fromScreenPixels(pixels);
  if (at) clickedAt(*at);  // "Открыть TALVO" from this menu hangs the panel here too
  const std::optional<TrayAnchor> anchor =
      at ? TrayAnchorLookup::fromClick(*at) : TrayAnchorLookup::reminderFallback(nullptr);
  if (!anchor) return;
  const QRect point = AnchoredPanel::fromPlacement(anchor->rect).toAlignedRect();
  const int height = menu_.sizeHint().height();
  menu_.popup(anchor->opening == PanelOpening::upward ? QPoint(point.left(), point.top() - height) : point.topLeft());
}

}  // namespace talvo
