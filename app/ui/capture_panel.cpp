#include "app/ui/capture_panel.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

#include "app/ui/confirmation_overlay.h"
#include "app/ui/keyboard_focus_marker.h"
#include "app/ui/panel_style.h"
#include "app/ui/primary_recording_button.h"
#include "app/ui/recording_wave.h"
#include "app/ui/vector_icon.h"

namespace talvo {
namespace {

using namespace PanelStyle;

// Setters that leave a widget alone when nothing changed, so it is not repainted.
void put(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}
void put(QAbstractButton* button, const QString& text) {
  if (button->text() != text) button->setText(text);
}
void reveal(QWidget* widget, bool shown) {
  if (widget->isHidden() == shown) widget->setVisible(shown);
}
void enable(QWidget* widget, bool enabled) {
  if (widget->isEnabled() != enabled) widget->setEnabled(enabled);
}
void putOptional(QLabel* label, const std::optional<QString>& text) {
  const bool shown = text && !text->isEmpty();
  if (shown) put(label, *text);
  reveal(label, shown);
}

QLabel* notice() {
  auto* label = new QLabel;
  label->setWordWrap(true);
  label->setFont(PanelStyle::font(12));
  label->setProperty("role", QStringLiteral("notice"));
  label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
  label->hide();
  return label;
}

QPushButton* button(const QString& text, const char* kind) {
  auto* b = new QPushButton(text);
  b->setProperty("kind", QString::fromLatin1(kind));
  b->setCursor(Qt::PointingHandCursor);
  return b;
}

QToolButton* headerButton(const QString& icon, const QString& label) {
  auto* b = new QToolButton;
  b->setFixedSize(30, 30);
  b->setIcon(VectorIcon::icon(icon, 18, accent));
  b->setIconSize(QSize(18, 18));
  b->setToolTip(label);
  b->setAccessibleName(label);
  b->setAutoRaise(true);
  b->setFocusPolicy(Qt::StrongFocus);
  b->setCursor(Qt::PointingHandCursor);
  return b;
}

QWidget* separator() {
  auto* line = new QWidget;
  line->setFixedHeight(1);
  line->setObjectName(QStringLiteral("separator"));
  return line;
}

QString panelStyleSheet() {
  return QStringLiteral(
             "QWidget{color:%1;}"
             "QWidget#separator{background:%3;}"
             // The style's own focus rectangle would show after every click: keyboard focus is
             // drawn by the [keyboardFocus] rules instead.
             "QPushButton,QToolButton,QCheckBox{outline:none;}"
             "QLabel[role=\"notice\"]{color:%2;}"
             "QLabel[role=\"muted\"]{color:%2;}"
             "QToolButton{border:none;border-radius:8px;background:transparent;}"
             "QToolButton:hover,QToolButton[keyboardFocus=\"true\"]{background:%3;}"
             "QToolButton:disabled{background:transparent;}"
             "QPushButton[kind=\"outline\"]{color:%4;border:1px solid %4;border-radius:10px;background:transparent;"
             "min-height:34px;padding:0 12px;font-size:13px;}"
             "QPushButton[kind=\"outline\"][keyboardFocus=\"true\"],QPushButton[kind=\"plain\"][keyboardFocus=\"true\"]"
             ","
             "QPushButton[kind=\"row\"][keyboardFocus=\"true\"]"
             "{background:%3;}"
             "QPushButton[kind=\"outline\"]:disabled{color:%5;border-color:%5;}"
             "QPushButton[kind=\"filled\"]{color:%6;background:%4;border:none;border-radius:10px;min-height:36px;"
             "padding:0 12px;font-size:13px;font-weight:600;}"
             "QPushButton[kind=\"filled\"]:disabled{background:%5;}"
             "QPushButton[kind=\"filled\"][keyboardFocus=\"true\"]{border:2px solid %7;}"
             "QPushButton[kind=\"plain\"]{color:%4;border:none;background:transparent;text-align:left;"
             "padding:2px 0;font-size:13px;}"
             "QPushButton[kind=\"small\"]{color:%2;border:none;background:transparent;text-align:left;"
             "padding:2px 0;font-size:11px;}"
             "QPushButton[kind=\"plain\"]:disabled,QPushButton[kind=\"small\"]:disabled{color:%5;}"
             "QPushButton[kind=\"row\"]{color:%4;border:none;border-radius:8px;background:transparent;"
             "text-align:left;padding:0 4px;}"
             "QPushButton[kind=\"row\"]:disabled{color:%5;}"
             "QCheckBox{font-size:13px;spacing:8px;}"
             "QCheckBox::indicator{width:16px;height:16px;border:1px solid "
             "%4;border-radius:4px;background:transparent;}"
             "QCheckBox::indicator:checked{background:%4;}"
             "QCheckBox[keyboardFocus=\"true\"]{background:%3;border-radius:6px;}"
             "QCheckBox:disabled{color:%5;}QCheckBox::indicator:disabled{border-color:%5;}")
      .arg(css(accent), css(muted), css(raised), css(accent), css(accent, 0.5), css(canvas), css(text));
  // %1 default text (the accent, as the panel's foreground), %2 muted, %3 raised, %4 accent,
  // %5 disabled accent, %6 text on the accent, %7 primary text (the keyboard ring).
}

}  // namespace

CapturePanel::CapturePanel(CapturePanelModels& models, QWidget* parent) : QWidget(parent), models_(models) {
  setObjectName(QStringLiteral("capturePanel"));
  setAccessibleName(QStringLiteral("TALVO"));
  setFixedWidth(panelWidth);
  setStyleSheet(panelStyleSheet());
  build();
  KeyboardFocusMarker::watch(this);
  apply(models_.state());
  stale_ = false;
}

QString CapturePanel::elapsedText(double elapsed) {
  const double whole = std::isfinite(elapsed) && elapsed > 0 ? std::floor(elapsed) : 0;
  const long long s = whole > 1e12 ? 1000000000000LL : static_cast<long long>(whole);
  const long long hours = s / 3600;
  const long long minutes = s / 60 - hours * 60;
  return QString::asprintf("%02lld:%02lld:%02lld", hours, minutes, s % 60);
}

bool CapturePanel::dialogOpen() const { return sheet_ && sheet_->isVisible(); }

void CapturePanel::build() {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(16, 0, 16, 12);
  column->setSpacing(0);

  // Header row, 48 high: the brand and three buttons, or "Назад" and the title on settings.
  mainHeader_ = new QWidget;
  mainHeader_->setFixedHeight(48);
  auto* header = new QHBoxLayout(mainHeader_);
  header->setContentsMargins(0, 0, 0, 0);
  header->setSpacing(6);
  auto* brand = new QLabel;
  brand->setPixmap(QPixmap::fromImage(VectorIcon::image(QStringLiteral("talvo"), 20, accent, 2.0)));
  brand->setAccessibleName(QStringLiteral("TALVO"));
  auto* title = new QLabel(QStringLiteral("TALVO"));
  title->setFont(PanelStyle::font(14, QFont::DemiBold));
  title->setStyleSheet(QStringLiteral("color:%1").arg(css(accent)));
  libraryButton_ = headerButton(QStringLiteral("folder"), QStringLiteral("Библиотека"));
  telegramButton_ = headerButton(QStringLiteral("telegram"), QStringLiteral("Открыть Telegram"));
  settingsButton_ = headerButton(QStringLiteral("settings"), QStringLiteral("Настройки"));
  header->addWidget(brand);
  header->addWidget(title);
  header->addStretch();
  header->addWidget(libraryButton_);
  header->addWidget(telegramButton_);
  header->addWidget(settingsButton_);

  settingsHeader_ = new QWidget;
  settingsHeader_->setFixedHeight(48);
  auto* back = new QHBoxLayout(settingsHeader_);
  back->setContentsMargins(0, 0, 0, 0);
  backButton_ = button(QStringLiteral("Назад"), "row");
  backButton_->setIcon(VectorIcon::icon(QStringLiteral("chevron-left"), 16, accent));
  backButton_->setFont(PanelStyle::font(13, QFont::Medium));
  backButton_->setFixedHeight(30);
  auto* settingsTitle = new QLabel(QStringLiteral("Настройки"));
  settingsTitle->setFont(PanelStyle::font(14, QFont::DemiBold));
  back->addWidget(backButton_);
  back->addStretch();
  back->addWidget(settingsTitle);
  back->addStretch();
  back->addSpacing(backButton_->sizeHint().width());
  settingsHeader_->hide();

  column->addWidget(mainHeader_);
  column->addWidget(settingsHeader_);
  column->addWidget(separator());

  pages_ = new QStackedWidget;
  pages_->addWidget(buildMainPage());
  pages_->addWidget(buildSettingsPage());
  column->addSpacing(12);
  column->addWidget(pages_);
  showPage(0);

  sheet_ = new ConfirmationOverlay(this);

  connect(libraryButton_, &QToolButton::clicked, this, [this] { models_.perform(CapturePanelAction::openLibrary); });
  connect(telegramButton_, &QToolButton::clicked, this, &CapturePanel::telegramPressed);
  connect(settingsButton_, &QToolButton::clicked, this, [this] { setSettings(true); });
  connect(backButton_, &QPushButton::clicked, this, [this] { setSettings(false); });
}

QWidget* CapturePanel::buildMainPage() {
  auto* page = new QWidget;
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(10);

  // While recording: the red dot and the clock, then the wave.
  recordingRow_ = new QWidget;
  auto* recording = new QVBoxLayout(recordingRow_);
  recording->setContentsMargins(0, 0, 0, 0);
  recording->setSpacing(8);
  auto* clockRow = new QHBoxLayout;
  clockRow->setSpacing(8);
  auto* dot = new QLabel;
  dot->setFixedSize(8, 8);
  dot->setStyleSheet(QStringLiteral("background:%1;border-radius:4px;").arg(css(PanelStyle::recording)));
  elapsed_ = new QLabel(elapsedText(0));
  elapsed_->setObjectName(QStringLiteral("elapsed"));
  elapsed_->setFont(monospacedDigitsFont(18, QFont::Medium));
  elapsed_->setMinimumWidth(QFontMetrics(elapsed_->font()).horizontalAdvance(QStringLiteral("00:00:00")) + 2);
  clockRow->addWidget(dot);
  clockRow->addWidget(elapsed_);
  clockRow->addStretch();
  wave_ = new RecordingWave;
  recording->addLayout(clockRow);
  recording->addWidget(wave_);
  recordingRow_->hide();
  column->addWidget(recordingRow_);

  primary_ = new PrimaryRecordingButton(QStringLiteral("Начать запись"));
  column->addWidget(primary_);
  connect(primary_, &QPushButton::clicked, this, &CapturePanel::primaryPressed);

  for (int i = 0; i < 10; ++i) {
    notices_.push_back(notice());
    column->addWidget(notices_.back());
  }

  // The account area.
  account_ = new QWidget;
  auto* area = new QVBoxLayout(account_);
  area->setContentsMargins(0, 4, 0, 0);
  area->setSpacing(8);
  accountLabel_ = new QLabel;
  accountLabel_->setWordWrap(true);
  accountLabel_->setProperty("role", QStringLiteral("muted"));
  accountLabel_->setFont(PanelStyle::font(13));
  sendUnlinked_ = button(QString(), "outline");
  disconnect_ = button(QStringLiteral("Отключить этот компьютер"), "outline");
  pairingCode_ = new QLabel;
  pairingCode_->setFont(PanelStyle::font(13, QFont::Medium));
  pairingCode_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  candidate_ = new QLabel;
  candidate_->setWordWrap(true);
  candidate_->setFont(PanelStyle::font(13));
  confirm_ = button(QStringLiteral("Это мой аккаунт — подключить"), "filled");
  invite_ = new QLabel(QStringLiteral("Подключите Telegram, чтобы отправлять записи на расшифровку."));
  invite_->setWordWrap(true);
  invite_->setProperty("role", QStringLiteral("muted"));
  invite_->setFont(PanelStyle::font(13));
  connect_ = button(QStringLiteral("Подключить Telegram"), "outline");
  restartPair_ = button(QStringLiteral("Другой аккаунт / новый запрос"), "small");
  for (QWidget* w : std::initializer_list<QWidget*>{accountLabel_, sendUnlinked_, disconnect_, pairingCode_, candidate_,
                                                    confirm_, invite_, connect_, restartPair_}) {
    area->addWidget(w);
  }
  column->addWidget(account_);
  connect(sendUnlinked_, &QPushButton::clicked, this, &CapturePanel::confirmUpload);
  connect(disconnect_, &QPushButton::clicked, this, &CapturePanel::confirmDisconnect);
  connect(confirm_, &QPushButton::clicked, this, [this] { models_.perform(CapturePanelAction::confirm); });
  connect(connect_, &QPushButton::clicked, this, [this] { models_.perform(CapturePanelAction::connect); });
  connect(restartPair_, &QPushButton::clicked, this, [this] {
    if (!state_.cloudBusy) models_.perform(CapturePanelAction::restartPair);
  });

  // Footer (40 high) and the update row (36 high), icons trailing / leading.
  column->addWidget(separator());
  footer_ = button(QString(), "row");
  footer_->setFixedHeight(40);
  footer_->setFont(PanelStyle::font(13, QFont::Medium));
  footer_->setIcon(VectorIcon::icon(QStringLiteral("chevron-right"), 17, accent));
  footer_->setIconSize(QSize(17, 17));
  footer_->setLayoutDirection(Qt::RightToLeft);  // the chevron after the text
  column->addWidget(footer_);
  connect(footer_, &QPushButton::clicked, this, &CapturePanel::footerPressed);

  update_ = button(QStringLiteral("Обновить версию"), "row");
  update_->setFixedHeight(36);
  update_->setFont(PanelStyle::font(12, QFont::Medium));
  update_->setIcon(VectorIcon::icon(QStringLiteral("download"), 15, accent));
  update_->setIconSize(QSize(15, 15));
  update_->hide();
  column->addWidget(update_);
  connect(update_, &QPushButton::clicked, this, [this] { models_.perform(CapturePanelAction::openUpdate); });
  return page;
}

QWidget* CapturePanel::buildSettingsPage() {
  auto* page = new QWidget;
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(10);

  auto* section = new QLabel(QStringLiteral("Папка записей"));
  section->setFont(PanelStyle::font(13, QFont::DemiBold));
  column->addWidget(section);
  auto* pathRow = new QHBoxLayout;
  pathRow->setSpacing(8);
  auto* folderIcon = new QLabel;
  folderIcon->setPixmap(QPixmap::fromImage(VectorIcon::image(QStringLiteral("folder"), 18, accent, 2.0)));
  folderIcon->setFixedSize(18, 18);
  folderPath_ = new QLabel;
  folderPath_->setObjectName(QStringLiteral("folderPath"));
  folderPath_->setFont(PanelStyle::font(12));
  folderPath_->setProperty("role", QStringLiteral("muted"));
  folderPath_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  pathRow->addWidget(folderIcon);
  pathRow->addWidget(folderPath_, 1);
  column->addLayout(pathRow);
  folderFailure_ = notice();
  column->addWidget(folderFailure_);
  openOriginal_ = button(QStringLiteral("Открыть исходную папку"), "plain");
  openOriginal_->hide();
  column->addWidget(openOriginal_);
  chooseFolder_ = button(QStringLiteral("Выбрать папку…"), "outline");
  openFolder_ = button(QStringLiteral("Открыть папку"), "outline");
  column->addWidget(chooseFolder_);
  column->addWidget(openFolder_);
  column->addWidget(separator());

  autostart_ = new QCheckBox(QStringLiteral("Запускать при входе в систему"));
  column->addWidget(autostart_);
  approve_ = button(QStringLiteral("Разрешить в настройках автозапуска"), "plain");
  approve_->hide();
  column->addWidget(approve_);
  loginNotice_ = notice();
  column->addWidget(loginNotice_);
  echoCancellation_ = new QCheckBox(QStringLiteral("Убирать эхо динамиков"));
  echoCancellation_->setObjectName(QStringLiteral("echoCancellation"));
  echoCancellation_->setToolTip(
      QStringLiteral("Голос собеседников из динамиков не попадёт в запись второй раз "
                     "через микрофон. Действует со следующей записи."));
  column->addWidget(echoCancellation_);

  connect(openOriginal_, &QPushButton::clicked, this,
          [this] { models_.perform(CapturePanelAction::openOriginalFolder); });
  connect(chooseFolder_, &QPushButton::clicked, this, [this] { models_.perform(CapturePanelAction::chooseFolder); });
  connect(openFolder_, &QPushButton::clicked, this, [this] { models_.perform(CapturePanelAction::openFolder); });
  // Only the user's own toggles reach the model, and the box shows the model's value, not the
  // click's: a refused or failed change must not look done.
  connect(autostart_, &QCheckBox::clicked, this, [this](bool on) {
    autostart_->setChecked(state_.loginEnabled);
    models_.perform(on ? CapturePanelAction::enableLogin : CapturePanelAction::disableLogin);
  });
  connect(echoCancellation_, &QCheckBox::clicked, this, [this](bool on) {
    models_.perform(on ? CapturePanelAction::enableEchoCancellation : CapturePanelAction::disableEchoCancellation);
    // The setting has no signal of its own: show what was stored.
    state_.echoCancellation = models_.state().echoCancellation;
    echoCancellation_->setChecked(state_.echoCancellation);
  });
  connect(approve_, &QPushButton::clicked, this, [this] {
    if (state_.loginEligible && !state_.loginPreview) models_.perform(CapturePanelAction::openLoginSettings);
  });
  return page;
}

void CapturePanel::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  models_.perform(CapturePanelAction::refreshLoginStartup);
  models_.perform(CapturePanelAction::checkUpdates);
  if (stale_) refresh();
}

void CapturePanel::refresh() {
  if (!isVisible()) {
    stale_ = true;  // hidden: no work until shown
    return;
  }
  stale_ = false;
  apply(models_.state());
}

void CapturePanel::apply(const CapturePanelState& s) {
  if (s.connected && (!applied_ || !state_.connected)) accountExpanded_ = false;
  const bool first = !applied_;
  applied_ = true;
  if (!first && s == state_) return;
  state_ = s;
  applyMain(s);
  applySettings(s);
}

void CapturePanel::applyMain(const CapturePanelState& s) {
  enable(libraryButton_, !(s.openingLibrary || s.cloudPreparing));

  reveal(recordingRow_, s.recording);
  if (s.recording) {
    put(elapsed_, elapsedText(s.elapsed));
    wave_->setValues(s.levels);
  }

  if (s.stopping) {
    put(primary_, QStringLiteral("Сохраняю…"));
  } else if (s.starting) {
    put(primary_, QStringLiteral("Запуск…"));
  } else if (s.recording) {
    put(primary_, QStringLiteral("Остановить запись"));
  } else {
    put(primary_, QStringLiteral("Начать запись"));
  }
  primary_->setIconName(s.recording && !s.stopping && !s.starting ? QStringLiteral("stop") : QString());
  // Recording never waits for the keyring: a recording made meanwhile joins the queue later.
  enable(primary_, !(s.starting || s.stopping || (!s.recording && s.updateBlocksRecording)));

  const std::optional<QString> texts[10] = {
      s.updateBlocksRecording ? std::optional<QString>(QStringLiteral("Обновление TALVO…")) : std::nullopt,
      s.updateFailure,
      s.captureWarning,
      s.folderFailure,
      s.openingLibrary ? std::optional<QString>(QStringLiteral("Открываю библиотеку…")) : std::nullopt,
      s.libraryFailure,
      s.localWarning,
      s.cloudMessage,
      s.queueLabel,
      s.reminderNotice,
  };
  for (int i = 0; i < 10; ++i) putOptional(notices_[static_cast<std::size_t>(i)], texts[i]);

  reveal(account_, accountExpanded_ || !s.connected);
  // Connected.
  reveal(accountLabel_, s.connected);
  put(accountLabel_, s.accountLabel);
  reveal(sendUnlinked_, s.connected && s.unlinked >= 1);
  put(sendUnlinked_, QStringLiteral("Отправить записи без аккаунта (%1)").arg(s.unlinked));
  enable(sendUnlinked_, !s.cloudBusy);
  reveal(disconnect_, s.connected);
  enable(disconnect_, !(s.cloudBusy || s.captureBusy()));
  // Not connected.
  const bool pairing = !s.connected && s.pairingCode.has_value();
  reveal(pairingCode_, pairing);
  if (pairing) put(pairingCode_, QStringLiteral("Сверьте код в боте: ") + *s.pairingCode);
  const bool candidate = !s.connected && s.hasCandidate;
  reveal(candidate_, candidate);
  put(candidate_, s.candidateLabel);
  reveal(confirm_, candidate);
  enable(confirm_, !s.cloudBusy);
  const bool invite = !s.connected && !s.hasCandidate;
  reveal(invite_, invite);
  reveal(connect_, invite);
  put(connect_, s.cloudBusy ? QStringLiteral("Подключение…") : QStringLiteral("Подключить Telegram"));
  enable(connect_, !(s.cloudBusy || s.cloudPreparing));
  reveal(restartPair_, pairing);
  enable(restartPair_, !s.cloudBusy);

  put(footer_, s.connected ? s.tariffLabel : QStringLiteral("Подключить Telegram"));
  // Its "Подключить Telegram" starts the same pairing as the button above: not before the account
  // store has answered, when the press would be lost.
  enable(footer_, s.connected || !(s.cloudBusy || s.cloudPreparing));
  reveal(update_, s.updateAvailable.has_value());
  enable(update_, !(s.captureBusy() || s.updateBlocksRecording));
}

void CapturePanel::applySettings(const CapturePanelState& s) {
  const QString elided =
      folderPath_->fontMetrics().elidedText(s.folderDirectory, Qt::ElideMiddle, panelWidth - 32 - 26);
  put(folderPath_, elided);
  if (folderPath_->toolTip() != s.folderDirectory) {
    folderPath_->setToolTip(s.folderDirectory);
    folderPath_->setAccessibleName(s.folderDirectory);
  }
  putOptional(folderFailure_, s.folderFailure);
  reveal(openOriginal_, s.folderFailure.has_value());
  enable(chooseFolder_, !s.captureBusy());
  enable(openFolder_, !s.captureBusy());
  if (autostart_->isChecked() != s.loginEnabled) autostart_->setChecked(s.loginEnabled);
  if (echoCancellation_->isChecked() != s.echoCancellation) echoCancellation_->setChecked(s.echoCancellation);
  enable(autostart_, s.loginEligible);
  reveal(approve_, s.loginNeedsApproval);
  if (s.loginFailure) {
    putOptional(loginNotice_, s.loginFailure);
  } else if (!s.loginEligible) {
    putOptional(loginNotice_, QStringLiteral("Автозапуск доступен после установки TALVO."));
  } else {
    putOptional(loginNotice_, std::nullopt);
  }
}

void CapturePanel::showPage(int index) {
  pages_->setCurrentIndex(index);
  // The stack takes the height of the page it shows, not of the taller one it hides.
  for (int i = 0; i < pages_->count(); ++i) {
    pages_->widget(i)->setSizePolicy(QSizePolicy::Preferred,
                                     i == index ? QSizePolicy::Preferred : QSizePolicy::Ignored);
  }
  pages_->adjustSize();
  adjustSize();
}

void CapturePanel::setSettings(bool on) {
  settings_ = on;
  reveal(mainHeader_, !on);
  reveal(settingsHeader_, on);
  showPage(on ? 1 : 0);
  (on ? static_cast<QWidget*>(backButton_) : static_cast<QWidget*>(settingsButton_))->setFocus();
}

void CapturePanel::telegramPressed() {
  if (state_.connected) {
    models_.perform(CapturePanelAction::openBot);
    accountExpanded_ = !accountExpanded_;
  } else {
    models_.perform(state_.hasApprovalUrl ? CapturePanelAction::openApprovalUrl : CapturePanelAction::connect);
    accountExpanded_ = true;
  }
  applyMain(state_);
}

void CapturePanel::footerPressed() {
  if (state_.connected) {
    models_.perform(CapturePanelAction::openTariff);
  } else {
    accountExpanded_ = true;
    models_.perform(CapturePanelAction::connect);
    applyMain(state_);
  }
}

void CapturePanel::primaryPressed() {
  models_.perform(state_.recording ? CapturePanelAction::stop : CapturePanelAction::start);
}

void CapturePanel::confirmUpload() {
  sheet_->present(QStringLiteral("Отправить записи в этот аккаунт?"),
                  QStringLiteral("Записи без аккаунта попадут в вашу библиотеку и будут расшифрованы по вашему "
                                 "тарифу. Прерванные записи автоматически не обрабатываются."),
                  QStringLiteral("Отправить в ") + state_.accountLabel,
                  [this] { models_.perform(CapturePanelAction::adoptUnlinked); });
}

void CapturePanel::confirmDisconnect() {
  sheet_->present(QStringLiteral("Отключить этот компьютер?"),
                  QStringLiteral("Локальные файлы, библиотека и оплаченный тариф сохранятся."),
                  QStringLiteral("Отключить"), [this] {
                    if (!state_.cloudBusy) models_.perform(CapturePanelAction::disconnect);
                  });
}

}  // namespace talvo
