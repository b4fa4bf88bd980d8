#include "app/ui/capture_panel.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QGuiApplication>
#include <QJsonArray>
#include <QKeyEvent>
#include <QScreen>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPalette>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>

#include "app/tests/ui_test_support.h"
#include "app/ui/anchored_panel.h"
#include "app/ui/panel_style.h"
#include "app/ui/recording_wave.h"
#include "app/tray/tray_anchor_lookup.h"

namespace talvo {
namespace {

using A = CapturePanelAction;
using ui_test::settle;
using ui_test::waitUntil;

// Stand-in models: a state the test sets and a log of the operations the panel asked for.
struct StandInModels : CapturePanelModels {
  CapturePanelState s;
  mutable int reads = 0;
  std::vector<A> done;
  CapturePanelState state() const override {
    ++reads;
    return s;
  }
  void perform(A action) override { done.push_back(action); }
  // Operations other than the two the panel runs on every showing.
  std::vector<A> commands() const {
    std::vector<A> out;
    for (A a : done) {
      if (a != A::refreshLoginStartup && a != A::checkUpdates) out.push_back(a);
    }
    return out;
  }
};

CapturePanelState idle() {
  CapturePanelState s;
  s.accountLabel = QStringLiteral("Telegram не подключён");
  s.tariffLabel = QStringLiteral("Тариф: Старт · 120 мин");
  s.folderDirectory = QStringLiteral("/home/user/.local/share/TALVO/Recordings");
  s.loginEligible = true;
  s.levels.assign(35, 0.0f);
  return s;
}

class CapturePanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::app();
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs the test display";
    models.s = idle();
    content = new CapturePanel(models);
    host = std::make_unique<AnchoredPanel>(content, [] {
      const QRect screen = QGuiApplication::primaryScreen()->geometry();
      return TrayAnchorLookup::fromGeometry(QRect(screen.right() - 30, 1, 22, 30));
    });
    host->setKeepOpenWhile([this] { return content->dialogOpen(); });
    host->show(true);
    settle(50);
  }
  void TearDown() override { host.reset(); }

  void set(const CapturePanelState& s) {
    models.s = s;
    content->refresh();
    settle(30);  // the panel re-measures itself after layout changes
  }
  QAbstractButton* button(const QString& name) const {
    for (auto* b : content->findChildren<QAbstractButton*>()) {
      if ((b->text() == name || b->accessibleName() == name) && b->isVisibleTo(content)) return b;
    }
    return nullptr;
  }
  bool labelShown(const QString& text) const {
    for (auto* l : content->findChildren<QLabel*>()) {
      if (l->text() == text && l->isVisibleTo(content)) return true;
    }
    return false;
  }
  std::vector<QString> shownNotices() const {
    std::vector<QString> out;
    for (auto* l : content->findChildren<QLabel*>()) {
      if (l->property("role") == QStringLiteral("notice") && l->isVisibleTo(content) &&
          l->parentWidget() == content->findChild<QLabel*>(QStringLiteral("elapsed"))->parentWidget()->parentWidget()) {
        out.push_back(l->text());
      }
    }
    return out;
  }
  void shot(const char* name) {
    settle(60);
    ui_test::saveScreenshot(host->window(), QStringLiteral("panel-") + QLatin1String(name));
  }

  StandInModels models;
  CapturePanel* content = nullptr;
  std::unique_ptr<AnchoredPanel> host;
};

TEST_F(CapturePanelTest, PrimaryButtonFollowsTheCaptureState) {
  EXPECT_EQ(host->window()->width(), 320);
  ASSERT_TRUE(button(QStringLiteral("Начать запись")));
  EXPECT_TRUE(button(QStringLiteral("Начать запись"))->isEnabled());
  EXPECT_FALSE(content->findChild<RecordingWave*>()->isVisibleTo(content));
  shot("idle-not-connected");
  // As it shows on the screen without a compositing manager, over a white window: the panel is
  // cut to the bubble, so its corners show the window behind instead of black.
  const QRect onScreen = host->window()->geometry().adjusted(-12, -12, 12, 12);
  QWidget backdrop(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
  backdrop.setAttribute(Qt::WA_ShowWithoutActivating);
  QPalette white;
  white.setColor(QPalette::Window, Qt::white);
  backdrop.setPalette(white);
  backdrop.setAutoFillBackground(true);
  backdrop.setGeometry(onScreen);
  host->close();
  backdrop.show();
  ASSERT_TRUE(waitUntil([&] { return backdrop.isVisible(); }));
  settle(200);
  host->show(true);
  settle(300);
  QScreen* display = QGuiApplication::primaryScreen();
  display->grabWindow(0, onScreen.x(), onScreen.y(), onScreen.width(), onScreen.height())
      .save(ui_test::screenshotDir() + QStringLiteral("/panel-on-screen.png"));
  const QRect frame = host->window()->geometry();
  const QImage corner = display->grabWindow(0, frame.x(), frame.bottom(), 1, 1).toImage();
  EXPECT_EQ(corner.pixelColor(0, 0), QColor(Qt::white)) << "the bottom-left corner is not cut away";
  const QImage inside = display->grabWindow(0, frame.center().x(), frame.bottom() - 4, 1, 1).toImage();
  EXPECT_EQ(inside.pixelColor(0, 0), PanelStyle::surface);
  const QImage beside = display->grabWindow(0, onScreen.x() + 2, onScreen.bottom() - 2, 1, 1).toImage();
  EXPECT_EQ(beside.pixelColor(0, 0), QColor(Qt::white))
      << "backdrop at " << backdrop.x() << "," << backdrop.y() << " " << backdrop.width() << "x" << backdrop.height();
  backdrop.hide();

  auto s = idle();
  s.starting = true;
  set(s);
  ASSERT_TRUE(button(QStringLiteral("Запуск…")));
  EXPECT_FALSE(button(QStringLiteral("Запуск…"))->isEnabled());

  s = idle();
  s.recording = true;
  s.elapsed = 3725.9;
  for (int i = 0; i < 35; ++i) s.levels[static_cast<std::size_t>(i)] = float((i * 37) % 100) / 100.0f;
  s.levels[3] = std::numeric_limits<float>::quiet_NaN();  // bad levels never crash the wave
  s.levels[4] = std::numeric_limits<float>::infinity();
  s.levels[5] = -2.0f;
  set(s);
  EXPECT_EQ(content->findChild<QLabel*>(QStringLiteral("elapsed"))->text(), QStringLiteral("01:02:05"));
  EXPECT_TRUE(content->findChild<RecordingWave*>()->isVisibleTo(content));
  EXPECT_EQ(content->findChild<RecordingWave*>()->values().size(), 35u);
  ASSERT_TRUE(button(QStringLiteral("Остановить запись")));
  EXPECT_TRUE(button(QStringLiteral("Остановить запись"))->isEnabled());
  shot("recording");
  button(QStringLiteral("Остановить запись"))->click();

  s.updateBlocksRecording = true;  // a running recording can still be stopped
  set(s);
  EXPECT_TRUE(button(QStringLiteral("Остановить запись"))->isEnabled());

  s.recording = false;
  s.stopping = true;
  set(s);
  ASSERT_TRUE(button(QStringLiteral("Сохраняю…")));
  EXPECT_FALSE(button(QStringLiteral("Сохраняю…"))->isEnabled());
  shot("stopping");

  s = idle();
  s.updateBlocksRecording = true;
  set(s);
  EXPECT_FALSE(button(QStringLiteral("Начать запись"))->isEnabled());
  EXPECT_EQ(shownNotices(), (std::vector<QString>{QStringLiteral("Обновление TALVO…")}));
  s = idle();
  s.cloudPreparing = true;  // the keyring has not answered yet: recording works, the library waits
  set(s);
  EXPECT_TRUE(button(QStringLiteral("Начать запись"))->isEnabled());
  EXPECT_FALSE(button(QStringLiteral("Библиотека"))->isEnabled());
  // Both "Подключить Telegram" (the button and the footer row) wait too: a press now would be lost.
  int connects = 0;
  for (auto* b : content->findChildren<QAbstractButton*>()) {
    if (b->text() != QStringLiteral("Подключить Telegram") || !b->isVisibleTo(content)) continue;
    ++connects;
    EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
  }
  EXPECT_EQ(connects, 2);
  shot("preparing");
  s = idle();
  set(s);
  button(QStringLiteral("Начать запись"))->click();
  EXPECT_EQ(models.commands(), (std::vector<A>{A::stop, A::start}));
}

TEST(CapturePanelElapsed, WholeSecondsAsHoursMinutesSeconds) {
  EXPECT_EQ(CapturePanel::elapsedText(3725.9), QStringLiteral("01:02:05"));
  EXPECT_EQ(CapturePanel::elapsedText(0), QStringLiteral("00:00:00"));
  EXPECT_EQ(CapturePanel::elapsedText(59.999), QStringLiteral("00:00:59"));
  EXPECT_EQ(CapturePanel::elapsedText(21600), QStringLiteral("06:00:00"));
  EXPECT_EQ(CapturePanel::elapsedText(-5), QStringLiteral("00:00:00"));
  EXPECT_EQ(CapturePanel::elapsedText(std::numeric_limits<double>::quiet_NaN()), QStringLiteral("00:00:00"));
  EXPECT_EQ(CapturePanel::elapsedText(std::numeric_limits<double>::infinity()), QStringLiteral("00:00:00"));
}

TEST_F(CapturePanelTest, NoticesInTheirOrder) {
  auto s = idle();
  s.updateBlocksRecording = true;
  s.updateFailure = QStringLiteral("2 обновление");
  s.captureWarning = QStringLiteral("3 запись");
  s.folderFailure = QStringLiteral("4 папка");
  s.openingLibrary = true;
  s.libraryFailure = QStringLiteral("6 библиотека");
  s.localWarning = QStringLiteral("7 локально");
  s.cloudMessage = QStringLiteral("8 сообщение");
  s.queueLabel = QStringLiteral("9 очередь");
  set(s);
  EXPECT_EQ(shownNotices(),
            (std::vector<QString>{
                QStringLiteral("Обновление TALVO…"), QStringLiteral("2 обновление"), QStringLiteral("3 запись"),
                QStringLiteral("4 папка"), QStringLiteral("Открываю библиотеку…"), QStringLiteral("6 библиотека"),
                QStringLiteral("7 локально"), QStringLiteral("8 сообщение"), QStringLiteral("9 очередь")}));
  s.captureWarning.reset();
  s.openingLibrary = false;
  s.cloudMessage = QString();  // empty text counts as none
  set(s);
  EXPECT_EQ(shownNotices().size(), 6u);
}

TEST_F(CapturePanelTest, AccountAreaInItsThreeStates) {
  // Not connected, nothing pending: the invitation.
  EXPECT_TRUE(labelShown(QStringLiteral("Подключите Telegram, чтобы отправлять записи на расшифровку.")));
  ASSERT_TRUE(button(QStringLiteral("Подключить Telegram")));
  auto s = idle();
  s.cloudBusy = true;
  set(s);
  ASSERT_TRUE(button(QStringLiteral("Подключение…")));
  EXPECT_FALSE(button(QStringLiteral("Подключение…"))->isEnabled());

  // Pairing with a code.
  s = idle();
  s.pairingCode = QStringLiteral("K7Q2M9XD");
  s.hasApprovalUrl = true;
  set(s);
  EXPECT_TRUE(labelShown(QStringLiteral("Сверьте код в боте: K7Q2M9XD")));
  ASSERT_TRUE(button(QStringLiteral("Другой аккаунт / новый запрос")));
  shot("pairing-code");
  button(QStringLiteral("Другой аккаунт / новый запрос"))->click();
  button(QStringLiteral("Открыть Telegram"))->click();  // opens the approval link, not a new pairing

  // A candidate account to confirm.
  s.hasCandidate = true;
  s.candidateLabel = QStringLiteral("@ivanov · Иван Иванов");
  set(s);
  EXPECT_TRUE(labelShown(QStringLiteral("@ivanov · Иван Иванов")));
  ASSERT_TRUE(button(QStringLiteral("Это мой аккаунт — подключить")));
  EXPECT_FALSE(labelShown(QStringLiteral("Подключите Telegram, чтобы отправлять записи на расшифровку.")));
  shot("candidate");
  button(QStringLiteral("Это мой аккаунт — подключить"))->click();
  EXPECT_EQ(models.commands(), (std::vector<A>{A::restartPair, A::openApprovalUrl, A::confirm}));

  // Connected: the area folds away; without unlinked recordings there is no send button.
  s = idle();
  s.connected = true;
  s.accountLabel = QStringLiteral("@ivanov");
  s.queueLabel = QStringLiteral("В очереди: 2 записи");
  set(s);
  EXPECT_FALSE(content->accountExpanded());
  // The panel is as tall as what the main page shows, not as the taller settings page it hides.
  auto* pages = content->findChild<QStackedWidget*>();
  ASSERT_TRUE(pages);
  s.loginFailure = QStringLiteral("Не удалось записать файл автозапуска.");
  s.loginNeedsApproval = true;
  set(s);
  EXPECT_LT(pages->minimumSizeHint().height(), pages->widget(1)->sizeHint().height());
  s.loginFailure.reset();
  s.loginNeedsApproval = false;
  set(s);
  EXPECT_FALSE(button(QStringLiteral("Отключить этот компьютер")));
  ASSERT_TRUE(button(QStringLiteral("Тариф: Старт · 120 мин")));
  shot("connected-queue");
  button(QStringLiteral("Открыть Telegram"))->click();  // connected: the bot, and the area unfolds
  EXPECT_TRUE(content->accountExpanded());
  ASSERT_TRUE(button(QStringLiteral("Отключить этот компьютер")));
  EXPECT_FALSE(button(QStringLiteral("Отправить записи без аккаунта (0)")));
  s.unlinked = 3;
  set(s);
  ASSERT_TRUE(button(QStringLiteral("Отправить записи без аккаунта (3)")));
  s.recording = true;  // no disconnecting while a recording runs
  set(s);
  EXPECT_FALSE(button(QStringLiteral("Отключить этот компьютер"))->isEnabled());
  s.recording = false;
  set(s);
  button(QStringLiteral("Тариф: Старт · 120 мин"))->click();
  EXPECT_EQ(models.commands().back(), A::openTariff);
  EXPECT_EQ(models.commands()[models.commands().size() - 2], A::openBot);
}

TEST_F(CapturePanelTest, DialogsConfirmAndCancelInsideThePanel) {
  auto s = idle();
  s.connected = true;
  s.accountLabel = QStringLiteral("@ivanov");
  s.unlinked = 2;
  set(s);
  button(QStringLiteral("Открыть Telegram"))->click();
  models.done.clear();

  button(QStringLiteral("Отправить записи без аккаунта (2)"))->click();
  EXPECT_TRUE(content->dialogOpen());
  EXPECT_TRUE(labelShown(QStringLiteral("Отправить записи в этот аккаунт?")));
  ASSERT_TRUE(button(QStringLiteral("Отправить в @ivanov")));
  shot("dialog-upload");
  button(QStringLiteral("Отмена"))->click();
  EXPECT_FALSE(content->dialogOpen());
  EXPECT_TRUE(models.commands().empty());
  button(QStringLiteral("Отправить записи без аккаунта (2)"))->click();
  button(QStringLiteral("Отправить в @ivanov"))->click();
  EXPECT_EQ(models.commands(), (std::vector<A>{A::adoptUnlinked}));

  button(QStringLiteral("Отключить этот компьютер"))->click();
  EXPECT_TRUE(labelShown(QStringLiteral("Отключить этот компьютер?")));
  EXPECT_TRUE(labelShown(QStringLiteral("Локальные файлы, библиотека и оплаченный тариф сохранятся.")));
  shot("dialog-disconnect");
  // Escape still closes the whole panel; the dialog keeps it open on focus loss only.
  button(QStringLiteral("Отключить"))->click();
  EXPECT_EQ(models.commands(), (std::vector<A>{A::adoptUnlinked, A::disconnect}));
  EXPECT_TRUE(host->isVisible());
}

TEST_F(CapturePanelTest, SettingsPageWithAFolderFailure) {
  auto s = idle();
  s.folderDirectory = QStringLiteral("/home/user/Документы/Очень длинное имя папки для записей созвонов/2026/декабрь");
  s.folderFailure = QStringLiteral("Папка недоступна. Выберите папку в настройках.");
  s.loginEligible = false;
  set(s);
  button(QStringLiteral("Настройки"))->click();
  settle(50);
  EXPECT_TRUE(content->settingsShown());
  EXPECT_TRUE(labelShown(QStringLiteral("Настройки")));
  auto* path = content->findChild<QLabel*>(QStringLiteral("folderPath"));
  EXPECT_EQ(path->toolTip(), s.folderDirectory);
  EXPECT_NE(path->text(), s.folderDirectory);  // elided to one line
  ASSERT_TRUE(button(QStringLiteral("Открыть исходную папку")));
  auto* autostart = qobject_cast<QCheckBox*>(button(QStringLiteral("Запускать при входе в систему")));
  ASSERT_TRUE(autostart);
  EXPECT_FALSE(autostart->isEnabled());
  EXPECT_TRUE(labelShown(QStringLiteral("Автозапуск доступен после установки TALVO.")));
  shot("settings-folder-failure");

  button(QStringLiteral("Открыть исходную папку"))->click();
  button(QStringLiteral("Выбрать папку…"))->click();
  button(QStringLiteral("Открыть папку"))->click();
  s.loginEligible = true;
  s.loginNeedsApproval = true;
  s.loginFailure = QStringLiteral("Не удалось изменить автозапуск. Проверьте настройки автозапуска.");
  set(s);
  EXPECT_TRUE(autostart->isEnabled());
  EXPECT_TRUE(labelShown(*s.loginFailure));
  EXPECT_FALSE(labelShown(QStringLiteral("Автозапуск доступен после установки TALVO.")));
  autostart->click();
  button(QStringLiteral("Разрешить в настройках автозапуска"))->click();
  EXPECT_EQ(models.commands(), (std::vector<A>{A::openOriginalFolder, A::chooseFolder, A::openFolder, A::enableLogin,
                                               A::openLoginSettings}));
  s.recording = true;
  set(s);
  EXPECT_FALSE(button(QStringLiteral("Выбрать папку…"))->isEnabled());
  EXPECT_FALSE(button(QStringLiteral("Открыть папку"))->isEnabled());

  button(QStringLiteral("Назад"))->click();
  EXPECT_FALSE(content->settingsShown());
  ASSERT_TRUE(button(QStringLiteral("Остановить запись")));
}

TEST_F(CapturePanelTest, EchoCancellationIsOnByDefaultUnderTheLoginCheckboxAndShowsTheStoredValue) {
  set(idle());
  button(QStringLiteral("Настройки"))->click();
  settle(50);
  auto* echo = qobject_cast<QCheckBox*>(button(QStringLiteral("Убирать эхо динамиков")));
  auto* autostart = qobject_cast<QCheckBox*>(button(QStringLiteral("Запускать при входе в систему")));
  ASSERT_TRUE(echo);
  ASSERT_TRUE(autostart);
  EXPECT_TRUE(echo->isChecked());
  EXPECT_TRUE(echo->isVisible());
  EXPECT_GT(echo->mapTo(content, QPoint()).y(), autostart->mapTo(content, QPoint()).y());
  shot("settings-echo-cancellation");

  // The box shows what the settings hold after the click, not the click itself.
  echo->click();
  EXPECT_TRUE(echo->isChecked()) << "the stand-in stored nothing";
  models.s.echoCancellation = false;
  echo->click();
  EXPECT_FALSE(echo->isChecked());
  echo->click();  // off → on, while the settings still say off
  EXPECT_FALSE(echo->isChecked());
  EXPECT_EQ(models.commands(),
            (std::vector<A>{A::disableEchoCancellation, A::disableEchoCancellation, A::enableEchoCancellation}));
}

TEST_F(CapturePanelTest, UpdateRowAndEachShowingRefreshesLoginAndUpdates) {
  auto s = idle();
  s.updateAvailable = QStringLiteral("1.4.0");
  set(s);
  ASSERT_TRUE(button(QStringLiteral("Обновить версию")));
  button(QStringLiteral("Обновить версию"))->click();
  s.starting = true;
  set(s);
  EXPECT_FALSE(button(QStringLiteral("Обновить версию"))->isEnabled());
  EXPECT_EQ(models.commands(), (std::vector<A>{A::openUpdate}));

  const auto refreshes = std::count(models.done.begin(), models.done.end(), A::refreshLoginStartup);
  host->close();
  host->show(true);
  EXPECT_EQ(std::count(models.done.begin(), models.done.end(), A::refreshLoginStartup), refreshes + 1);
  EXPECT_EQ(std::count(models.done.begin(), models.done.end(), A::checkUpdates), refreshes + 1);
}

TEST_F(CapturePanelTest, HiddenPanelDoesNoWorkAndCatchesUpWhenShown) {
  host->close();
  const int reads = models.reads;
  auto s = idle();
  s.recording = true;
  s.elapsed = 12;
  models.s = s;
  for (int i = 0; i < 50; ++i) content->refresh();
  EXPECT_EQ(models.reads, reads);
  host->show(true);
  EXPECT_EQ(models.reads, reads + 1);
  EXPECT_EQ(content->findChild<QLabel*>(QStringLiteral("elapsed"))->text(), QStringLiteral("00:00:12"));
}

TEST_F(CapturePanelTest, KeyboardMovesThroughTheControls) {
  settle(100);
  host->window()->activateWindow();
  ASSERT_TRUE(waitUntil([&] { return host->window()->isActiveWindow(); }));
  button(QStringLiteral("Библиотека"))->setFocus();
  QStringList order;
  for (int i = 0; i < 4; ++i) {
    QWidget* focused = QApplication::focusWidget();
    ASSERT_TRUE(focused);
    auto* b = qobject_cast<QAbstractButton*>(focused);
    order << (b ? (b->text().isEmpty() ? b->accessibleName() : b->text()) : QString());
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(focused, &tab);
  }
  EXPECT_EQ(order, (QStringList{QStringLiteral("Библиотека"), QStringLiteral("Открыть Telegram"),
                                QStringLiteral("Настройки"), QStringLiteral("Начать запись")}));
  QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
  QKeyEvent spaceUp(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier);
  QApplication::sendEvent(button(QStringLiteral("Начать запись")), &space);
  QApplication::sendEvent(button(QStringLiteral("Начать запись")), &spaceUp);
  EXPECT_EQ(models.commands(), (std::vector<A>{A::start}));
}

// Screen readers (and the end-to-end tests) find every control on the accessibility bus by
// its visible text or tool tip, with its role and enabled state.
TEST_F(CapturePanelTest, ControlsAreListedOnTheAccessibilityBus) {
  if (qEnvironmentVariableIsEmpty("QT_LINUX_ACCESSIBILITY_ALWAYS_ON")) GTEST_SKIP() << "accessibility bridge is off";
  auto s = idle();
  s.pairingCode = QStringLiteral("K7Q2M9XD");
  s.cloudPreparing = true;  // the library button is disabled, the record button is not
  set(s);
  settle(300);
  QProcess lister;
  lister.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral(TALVO_SOURCE_DIR "/app/tests/accessible_controls.py"),
                QCoreApplication::applicationName(), QString::number(QCoreApplication::applicationPid())});
  ASSERT_TRUE(lister.waitForStarted());
  // The lister walks our tree over D-Bus: keep answering while it runs.
  ASSERT_TRUE(waitUntil([&] { return lister.state() == QProcess::NotRunning; }, 30000));
  ASSERT_EQ(lister.exitCode(), 0) << lister.readAllStandardError().toStdString();
  const QJsonArray controls = QJsonDocument::fromJson(lister.readAllStandardOutput()).array();
  auto find = [&](const QString& name) -> QJsonObject {
    for (const auto& c : controls) {
      const QJsonObject o = c.toObject();
      if (o[QStringLiteral("name")].toString() == name) return o;
    }
    return {};
  };
  const struct {
    const char* name;
    const char* role;
    bool enabled;
  } expected[] = {
      {"Библиотека", "push button", false},
      {"Открыть Telegram", "push button", true},
      {"Настройки", "push button", true},
      {"Начать запись", "push button", true},
      {"Подключить Telegram", "push button", false},
      {"Другой аккаунт / новый запрос", "push button", true},
      {"Сверьте код в боте: K7Q2M9XD", "label", true},
  };
  for (const auto& e : expected) {
    const QJsonObject o = find(QString::fromUtf8(e.name));
    ASSERT_FALSE(o.isEmpty()) << e.name << " is not on the accessibility bus";
    EXPECT_EQ(o[QStringLiteral("role")].toString().toStdString(), e.role) << e.name;
    EXPECT_EQ(o[QStringLiteral("enabled")].toBool(), e.enabled) << e.name;
  }
}

}  // namespace
}  // namespace talvo

namespace talvo {
namespace {

// The confirmation dialog behaves as a sheet attached to the panel: it keeps the keyboard to
// itself and Escape cancels it before it could close the panel.
TEST_F(CapturePanelTest, TheDialogKeepsEscapeAndTabToItself) {
  auto s = idle();
  s.connected = true;
  s.accountLabel = QStringLiteral("Иван Иванов · 1234567890");
  s.unlinked = 1;
  set(s);
  button(QStringLiteral("Открыть Telegram"))->click();
  host->window()->activateWindow();
  ASSERT_TRUE(waitUntil([&] { return host->window()->isActiveWindow(); }));
  button(QStringLiteral("Отключить этот компьютер"))->click();
  ASSERT_TRUE(content->dialogOpen());
  EXPECT_TRUE(host->hasOpenOverlay());
  QStringList visited;
  for (int i = 0; i < 5; ++i) {
    QWidget* focused = QApplication::focusWidget();
    ASSERT_TRUE(focused);
    visited << (qobject_cast<QAbstractButton*>(focused) ? qobject_cast<QAbstractButton*>(focused)->text() : QString());
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(focused, &tab);
  }
  visited.removeDuplicates();
  visited.sort();
  EXPECT_EQ(visited, (QStringList{QStringLiteral("Отключить"), QStringLiteral("Отмена")}));
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(QApplication::focusWidget(), &escape);
  settle(50);
  EXPECT_FALSE(content->dialogOpen());
  EXPECT_FALSE(host->hasOpenOverlay());
  EXPECT_TRUE(host->isVisible()) << "Escape closed the panel under the dialog";
  EXPECT_TRUE(models.commands().empty() || models.commands().back() != A::disconnect);

  // The account stays readable in the send button, however long its label.
  button(QStringLiteral("Отправить записи без аккаунта (1)"))->click();
  QAbstractButton* send = nullptr;
  for (auto* b : content->findChildren<QPushButton*>()) {
    if (b->text().startsWith(QStringLiteral("Отправить в")) && b->isVisibleTo(content)) send = b;
  }
  ASSERT_TRUE(send);
  EXPECT_TRUE(send->text().replace(QLatin1Char('\n'), QLatin1Char(' ')).contains(s.accountLabel))
      << send->text().toStdString();
  for (const QString& line : send->text().split(QLatin1Char('\n'))) {
    EXPECT_LE(send->fontMetrics().horizontalAdvance(line), send->contentsRect().width() - 16) << line.toStdString();
  }
  shot("dialog-upload-long-account");
}

TEST_F(CapturePanelTest, ReminderNoticesAccentTextAndQuietFocus) {
  // The panel opens with no control looking hovered or focused.
  host->window()->activateWindow();
  ASSERT_TRUE(waitUntil([&] { return host->window()->isActiveWindow(); }));
  settle(50);
  for (auto* b : content->findChildren<QAbstractButton*>()) {
    EXPECT_FALSE(b->property("keyboardFocus").toBool()) << b->text().toStdString();
  }
  // The reminders' status line shows only when reminders are not working as usual.
  auto s = idle();
  s.reminderNotice = QStringLiteral("Метаданные аудиопроцессов недоступны. Ручная запись работает отдельно.");
  set(s);
  EXPECT_EQ(shownNotices().back(), *s.reminderNotice);
  auto* notice = [&]() -> QLabel* {
    for (auto* l : content->findChildren<QLabel*>()) {
      if (l->text() == *s.reminderNotice) return l;
    }
    return nullptr;
  }();
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->palette().color(QPalette::WindowText), PanelStyle::muted);
  // Text without a colour of its own takes the panel's accent.
  EXPECT_EQ(content->findChild<QLabel*>(QStringLiteral("elapsed"))->palette().color(QPalette::WindowText),
            PanelStyle::accent);
  s.cloudPreparing = true;  // the library button is disabled: its icon is the accent at half opacity
  set(s);
  for (auto* b : content->findChildren<QAbstractButton*>()) {
    EXPECT_FALSE(b->property("keyboardFocus").toBool())
        << "focus moved on from a disabled control looks keyboard-driven";
  }
  shot("reminder-notice");
  auto* library = button(QStringLiteral("Библиотека"));
  const QImage disabled = library->icon().pixmap(QSize(18, 18), 2.0, QIcon::Disabled).toImage();
  int strongest = 0;
  QColor colour;
  for (int y = 0; y < disabled.height(); ++y) {
    for (int x = 0; x < disabled.width(); ++x) {
      const QColor c = disabled.pixelColor(x, y);
      if (c.alpha() > strongest) strongest = c.alpha(), colour = c;
    }
  }
  EXPECT_NEAR(strongest, 128, 4);
  colour.setAlpha(255);
  EXPECT_EQ(colour.rgb(), PanelStyle::accent.rgb());

  // A mouse click shows no focus highlight; Tab does.
  auto* telegram = button(QStringLiteral("Открыть Telegram"));
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(15, 15), telegram->mapToGlobal(QPointF(15, 15)), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(telegram, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(15, 15), telegram->mapToGlobal(QPointF(15, 15)),
                      Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(telegram, &release);
  EXPECT_FALSE(telegram->property("keyboardFocus").toBool());
  shot("opened-quiet-focus");
  QWidget* focused = QApplication::focusWidget();
  ASSERT_TRUE(focused);
  QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
  QApplication::sendEvent(focused, &tab);
  ASSERT_TRUE(QApplication::focusWidget());
  EXPECT_TRUE(QApplication::focusWidget()->property("keyboardFocus").toBool());
  shot("tab-focus");

  // The login checkbox shows the model's value after a click, whatever the click did.
  button(QStringLiteral("Настройки"))->click();
  auto* autostart = qobject_cast<QCheckBox*>(button(QStringLiteral("Запускать при входе в систему")));
  ASSERT_TRUE(autostart);
  autostart->click();
  settle(30);
  EXPECT_FALSE(autostart->isChecked()) << "the checkbox shows a value the model does not have";
  EXPECT_EQ(models.commands().back(), A::enableLogin);
}

}  // namespace
}  // namespace talvo
