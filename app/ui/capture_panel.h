#pragma once
// The content of the main panel under the tray icon: the recording button, the running time and
// sound wave, every pending notice, the account area, the footer, the update row, and a
// settings page. Every value comes from CapturePanelModels and every control performs one of
// its actions; the panel itself only chooses what to show (the page, the account area, the two
// confirmation dialogs).
//
// A model change calls refresh(): while the panel is hidden that only marks it stale; when
// shown, each element is set only if its value changed, so Qt repaints just what a change
// touched (at 10 updates a second while recording: the clock and the wave).
#include <QWidget>
#include <optional>

#include "app/ui/capture_panel_models.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QToolButton;
class QStackedWidget;

namespace talvo {

class ConfirmationOverlay;
class PrimaryRecordingButton;
class RecordingWave;

class CapturePanel : public QWidget {
  Q_OBJECT
 public:
  static constexpr int panelWidth = 320;

  explicit CapturePanel(CapturePanelModels& models, QWidget* parent = nullptr);

  // "%02d:%02d:%02d" of the whole seconds of `elapsed`.
  static QString elapsedText(double elapsed);

  // A confirmation dialog is open: the panel must not close on focus loss.
  bool dialogOpen() const;
  bool settingsShown() const { return settings_; }
  bool accountExpanded() const { return accountExpanded_; }

 public slots:
  void refresh();

 protected:
  void showEvent(QShowEvent*) override;

 private:
  void build();
  QWidget* buildMainPage();
  QWidget* buildSettingsPage();
  void apply(const CapturePanelState& s);
  void applyMain(const CapturePanelState& s);
  void applySettings(const CapturePanelState& s);
  void setSettings(bool on);
  void showPage(int index);
  void telegramPressed();
  void footerPressed();
  void primaryPressed();
  void confirmUpload();
  void confirmDisconnect();

  CapturePanelModels& models_;
  CapturePanelState state_;
  bool applied_ = false;
  bool stale_ = true;
  bool settings_ = false;
  bool accountExpanded_ = false;

  QStackedWidget* pages_ = nullptr;
  QWidget* mainHeader_ = nullptr;
  QWidget* settingsHeader_ = nullptr;
  QToolButton* libraryButton_ = nullptr;
  QToolButton* telegramButton_ = nullptr;
  QToolButton* settingsButton_ = nullptr;
  QPushButton* backButton_ = nullptr;

  QWidget* recordingRow_ = nullptr;
  QLabel* elapsed_ = nullptr;
  RecordingWave* wave_ = nullptr;
  PrimaryRecordingButton* primary_ = nullptr;
  std::vector<QLabel*> notices_;
  QWidget* account_ = nullptr;
  QLabel* accountLabel_ = nullptr;
  QPushButton* sendUnlinked_ = nullptr;
  QPushButton* disconnect_ = nullptr;
  QLabel* pairingCode_ = nullptr;
  QLabel* candidate_ = nullptr;
  QPushButton* confirm_ = nullptr;
  QLabel* invite_ = nullptr;
  QPushButton* connect_ = nullptr;
  QPushButton* restartPair_ = nullptr;
  QPushButton* footer_ = nullptr;
  QPushButton* update_ = nullptr;

  QLabel* folderPath_ = nullptr;
  QLabel* folderFailure_ = nullptr;
  QPushButton* openOriginal_ = nullptr;
  QPushButton* chooseFolder_ = nullptr;
  QPushButton* openFolder_ = nullptr;
  QCheckBox* autostart_ = nullptr;
  QCheckBox* echoCancellation_ = nullptr;
  QPushButton* approve_ = nullptr;
  QLabel* loginNotice_ = nullptr;

  ConfirmationOverlay* sheet_ = nullptr;
};

}  // namespace talvo
