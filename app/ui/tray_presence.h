#pragma once
// Where the program shows itself: an icon in whichever tray the desktop has, or, with none, the
// capture panel in an ordinary window. Trays come and go (a shell restarts, a user adds or drops
// a panel), so the choice is looked at again every second (every two while a tray hosts the
// icon; the StatusNotifierItem watcher's coming and going is heard at once):
//
//   XEmbed tray (trayer, Xfce, MATE, GNOME Flashback)  -> QSystemTrayIcon, anchored at its geometry
//   StatusNotifierItem host (KDE, GNOME's extension)   -> our StatusNotifierItem, anchored at the
//                                                         position the host passes with a click
//   neither for `graceMs`                              -> the panel as a window "TALVO"
//
// A tray that appears while the window shows takes over and opens the panel under the icon; a
// tray that goes away hands back to the window. The icon's ink is white or black, whichever
// reads better on the bar: the tray's own colours or the bar's pixels around the icon on XEmbed,
// the desktop's look elsewhere.
#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>
#include <optional>

#include "app/ui/status_icon_renderer.h"
#include "app/ui/status_notifier_item.h"
#include "core/tray_anchor.h"

class QAbstractNativeEventFilter;
class QMenu;
class QScreen;

namespace talvo {

class AnchoredMenuPanel;
class DesktopAppearance;

class TrayPresence : public QObject {
  Q_OBJECT
 public:
  enum class Host { undecided, window, xembed, statusNotifier };
  static constexpr int pollMs = 1000;        // while looking for a tray
  static constexpr int hostedPollMs = 2000;  // while one hosts the icon: only to notice it going
  static constexpr int graceMs = 2000;
  static constexpr int placementWaitMs = 1000;
  // The themed icon installed with the program, which hosts recolour for their bar.
  static constexpr const char* symbolicIconName = "pro.talvo.recorder-symbolic";

  TrayPresence(AnchoredMenuPanel& panel, QMenu& menu, DesktopAppearance& appearance, QObject* parent = nullptr);
  ~TrayPresence() override;

  // Looks for a tray now and then every second.
  void start();
  Host host() const { return host_; }

  // How the icon should be drawn on the bar it sits on.
  TrayLook look() const;
  // The picture (null: the renderer gave up, show the word) and the tool tip / window title.
  void show(const QImage& image, bool recording);

  // What the tray shows when the renderer gives up: the word itself ("REC" while recording), in
  // ink that reads on the bar (red while recording, light on dark bars and deep on light ones).
  static QImage textImage(bool recording, bool darkBar);

  std::optional<TrayAnchor> panelAnchor() const;
  std::optional<TrayAnchor> reminderAnchor(QScreen* preferred) const;

  // For tests: the XEmbed icon and the StatusNotifierItem, when they are in use.
  QSystemTrayIcon* trayIcon() const { return icon_; }
  StatusNotifierItem* statusNotifierItem() const { return sni_; }

 signals:
  void clicked();      // the icon's primary click: toggle the panel
  void openPanel();    // the icon is in place (or the window took over): open the panel now
  void lookChanged();  // draw the icon again with look()
  void hostChanged();

 private:
  Host detect() const;
  void poll();
  void switchTo(Host host);
  void openWhenPlaced(int generation);
  void sampleBar();
  void popMenuAt(QPoint at);
  void applyPicture();

  AnchoredMenuPanel& panel_;
  QMenu& menu_;
  DesktopAppearance& appearance_;
  Host host_ = Host::undecided;
  QPointer<QSystemTrayIcon> icon_;
  QPointer<StatusNotifierItem> sni_;
  QTimer poll_;
  class QDBusServiceWatcher* watcherWatch_;
  bool watcherPresent_ = false;  // org.kde.StatusNotifierWatcher has an owner
  std::unique_ptr<QAbstractNativeEventFilter> trayStarts_;
  QElapsedTimer noTraySince_;
  QElapsedTimer placementWait_;
  QRect undockedGeometry_;
  bool openAfterPlacement_ = false;
  std::optional<QPoint> lastClick_;
  std::optional<bool> barIsDark_;  // measured on an XEmbed tray
  QImage image_;
  std::optional<QImage> shownImage_;
  bool recording_ = false;
  int generation_ = 0;  // of the current host, so a stale placement wait stops
};

}  // namespace talvo
