#pragma once
// What the desktop says about looks: whether it prefers a dark colour scheme and whether it has
// animations turned off. Both are read through the desktop settings portal
// (org.freedesktop.portal.Settings) when one runs, and follow its change signal; without a
// portal the dark choice comes from the palette and animations count as on.
#include <QDBusVariant>
#include <QObject>
#include <optional>

namespace talvo {

class DesktopAppearance : public QObject {
  Q_OBJECT
 public:
  explicit DesktopAppearance(QObject* parent = nullptr);

  bool prefersDark() const;
  // Whether the bar holding the tray icon is dark, so the idle logo is drawn light on it. GNOME
  // Shell draws its top bar dark in either colour scheme (not in its Classic mode, and not
  // GNOME Flashback's panel); other desktops draw their bar in the scheme the user chose.
  bool trayBarIsDark() const;
  // The same from XDG_CURRENT_DESKTOP (a colon-separated list of names) and the scheme.
  static bool trayBarIsDark(const QString& currentDesktop, bool prefersDark);
  // Animations off: the portal's org.freedesktop.appearance reduced-motion, or GNOME's
  // enable-animations switched off.
  bool reduceMotion() const { return portalReduce_.value_or(false) || gnomeReduce_; }

 signals:
  void changed();

 private slots:
  void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

 private:
  std::optional<bool> portalDark_;
  std::optional<bool> portalReduce_;
  bool gnomeReduce_ = false;
};

}  // namespace talvo
