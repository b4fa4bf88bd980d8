#pragma once
// Where the program shows itself: an icon in whichever tray the desktop has, or, with none, the
// capture panel in an ordinary window. What shows and when the panel may open by itself is
// TrayDecision's (core/): this class feeds it the events it hears and carries out its answers.
//
//   XEmbed tray (trayer, Xfce, MATE, GNOME Flashback)  -> QSystemTrayIcon, anchored at its geometry
//   StatusNotifierItem host (KDE, GNOME's extension)   -> our StatusNotifierItem, anchored at the
//                                                         position the host passes with a click
//   neither at start for the grace period              -> the panel as a window "TALVO"
//
// Every change is heard as it happens, nothing is polled: the XEmbed tray selection (a MANAGER
// message and XFixes), the StatusNotifierItem watcher's owner and its host (un)registration
// signals, the screen lock (the screensaver's ActiveChanged, logind's LockedHint). The icon's ink
// is white or black, whichever reads better on the bar: the tray's own colours or the bar's
// pixels around the icon, the desktop's look elsewhere.
#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVariantMap>
#include <memory>
#include <optional>

#include "app/ui/status_icon_renderer.h"
#include "app/tray/status_notifier_item.h"
#include "core/tray/tray_anchor.h"
#include "core/tray/tray_decision.h"

class QAbstractNativeEventFilter;
class QMenu;
class QScreen;

namespace talvo {

class AnchoredPanel;
class DesktopAppearance;

class TrayPresence : public QObject {
  Q_OBJECT
 public:
  using Host = TrayDecision::Presence;
  // The themed icon installed with the program, which hosts recolour for their bar.
  static constexpr const char* symbolicIconName = "pro.talvo.recorder-symbolic";

  TrayPresence(AnchoredPanel& panel, QMenu& menu, DesktopAppearance& appearance, QObject* parent = nullptr);
  ~TrayPresence() override;

  // Looks for a tray now and listens for changes from then on.
  void start();
  Host host() const { return decision_.presence(); }
  // The user asked for the panel: makes sure there is something to open it in (the window when
  // no tray holds the icon). Call before showing the panel.
  void userOpens();

  // How the icon should be drawn on the bar it sits on.
  TrayLook look() const;
  // The picture (null: the renderer gave up, show the word) and the tool tip / window title.
  void show(const QImage& image, bool recording);

  // What the tray shows when the renderer gives up: the word itself ("REC" while recording), in
  // ink that reads on the bar (red while recording, light on dark bars and deep on light ones).
  static QImage textImage(bool recording, bool darkBar);

  // Where the panel hangs: the icon, else the last point a host gave with a click, else the
  // pointer's column at the bar (an entry of the host's own menu was chosen), else the bar's edge.
  std::optional<TrayAnchor> panelAnchor() const;
  std::optional<TrayAnchor> reminderAnchor(QScreen* preferred) const;

  // For tests: the XEmbed icon and the StatusNotifierItem, when they are in use.
  QSystemTrayIcon* trayIcon() const { return icon_; }
  StatusNotifierItem* statusNotifierItem() const { return sni_; }

 signals:
  void clicked();      // the icon's primary click: toggle the panel
  void openPanel();    // the launch's opening: the icon is in place (or the window shows)
  void lookChanged();  // draw the icon again with look()
  void hostChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private slots:
  // D-Bus signals (connected by name).
  void hostSignal();
  void screenSaverActiveChanged(bool active);
  void sessionPropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated);

 private:
  TrayDecision::Tray trayNow() const;
  void begin();
  void trayMayHaveChanged();
  void askForHost();
  void watchScreenLock();
  void lockChanged(bool locked);
  void apply(const TrayDecision::Step& step);
  void schedule();
  void watchPlacement();
  void stopWatchingPlacement();
  void checkPlacement();
  std::int64_t now() const { return clock_.elapsed(); }
  void switchTo(Host host);
  void clickedAt(QPoint at);  // a host told where its icon was clicked
  void sampleBar();
  void popMenuAt(QPoint pixels);
  void applyPicture();

  AnchoredPanel& panel_;
  QMenu& menu_;
  DesktopAppearance& appearance_;
  TrayDecision decision_;
  QElapsedTimer clock_;
  QTimer deadline_;
  bool begun_ = false;
  QPointer<QSystemTrayIcon> icon_;
  QPointer<StatusNotifierItem> sni_;
  class QDBusServiceWatcher* watcherWatch_;
  bool watcherPresent_ = false;    // org.kde.StatusNotifierWatcher has an owner
  bool hostRegistered_ = false;    // and a host told it that it shows items
  int hostQuery_ = 0;              // the latest question about the host, so a stale answer is dropped
  int unansweredHostQueries_ = 0;  // in a row; asked again up to the limit below
  static constexpr int maximumUnansweredHostQueries = 10;
  std::unique_ptr<QAbstractNativeEventFilter> trayWatch_;
  QRect undockedGeometry_;
  std::optional<QPoint> lastClick_;  // in Qt's units
  std::optional<bool> barIsDark_;    // measured on the bar
  QImage image_;
  std::optional<QImage> shownImage_;
  bool recording_ = false;
  bool locked_ = false;
  std::int64_t placementSince_ = 0;
  QRect lateGeometry_;  // a late icon's place at the last look, and since when it is there
  std::int64_t lateGeometrySince_ = 0;
  static constexpr std::int64_t lateDockWaitMs = 15'000;  // how long an icon may take to dock
  // While the icon's place is awaited: a check every 20 ms (100 ms past the decision's wait) and
  // at once after any of the program's windows is exposed (the tray maps the icon once docked).
  QTimer placementPoll_;
  bool placementFilter_ = false;
  bool placementCheckQueued_ = false;
};

}  // namespace talvo
