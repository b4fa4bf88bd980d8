#include "app/shell/app_delegate.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <vector>

#include "app/log_categories.h"
#include "app/models/login_startup.h"
#include "app/models/model_worker.h"
#include "app/models/program_settings.h"
#include "app/models/recorder_model.h"
#include "app/reminders/meeting_reminders.h"
#include "app/shell/instance_alert.h"
#include "app/shell/instance_bus.h"
#include "app/shell/quit_controller.h"
#include "app/ui/anchored_panel.h"
#include "app/ui/capture_panel.h"
#include "app/ui/capture_panel_binding.h"
#include "app/ui/update_dialog.h"
#include "app/ui/desktop_appearance.h"
#include "app/ui/meeting_reminder_panel.h"
#include "app/ui/status_icon_renderer.h"
#include "app/tray/tray_presence.h"
#include "app/updates/release_updates.h"
#include "core/program/native_product.h"

namespace talvo {
namespace {

const std::vector<float> noLevels(7, 0.0f);

}  // namespace

AppDelegate::AppDelegate(ServiceConfiguration service, QObject* parent)
    : QObject(parent), service_(std::move(service)) {}

AppDelegate::~AppDelegate() {
  // Views go before the models they observe.
  delete item_;
  item_ = nullptr;
  reminderPanel_.reset();
  panel_.reset();
  binding_.reset();
  menu_.reset();
  // The models, and the blocking calls they left on their workers, end while the
  // single-instance lock is still held, so a new instance never works beside this one's last
  // writes. The wait is bounded: a folder that hangs must not keep the program up.
  const QObjectList owned = children();
  qDeleteAll(owned);
  if (!modelWorkers()->waitForDone(teardownWaitMs)) {
    // Something may still write into the recordings folder: the process ends holding the lock
    // (the kernel drops it with the process), so no new instance starts beside those writes.
    qCWarning(captureLog) << "teardown: model workers still busy after" << teardownWaitMs
                          << "ms; the instance lock is kept until the process ends";
    instanceLock_->abandon();
    return;
  }
  instanceLock_.reset();
}

bool AppDelegate::launch() {
  // The renderer comes first: everything after the gate may draw the icon.
  statusRenderer_ = std::make_unique<StatusIconRenderer>();
  if (!passGate()) return false;
  makeModels();
  makeMenu();
  followCaptureInTheIcon();
  makeUpdates();
  // The icon first, and the panel open right after launch (once there is a tray to hang it from,
  // or in its own window when none comes): the tray docks the icon while the panel is built.
  makePanelAndTray();
  startReminders();
  routeQuitRequests();
  return true;
}

void AppDelegate::makeModels() {
  // The recorder (with its cloud model and local folder).
  RecorderModel::Setup setup;
  setup.cloud.configuration = service_;
  model_ = new RecorderModel(std::move(setup), false, this);
  // Meeting reminders, keeping their quiet record beside the recordings folder.
  settings_ = programSettings();
  reminders_ = new MeetingReminders(programDataDirectory(), *settings_, false, nullptr, nullptr, this);
  // Login startup.
  loginStartup_ = new LoginStartup(false, this);
}

void AppDelegate::makeMenu() {
  // The status item's menu (the item itself needs the panel and comes with it). Clicks: the
  // left one toggles the panel; the right one pops the two-entry menu.
  appearance_ = new DesktopAppearance(this);
  menu_ = std::make_unique<QMenu>();
  QAction* open = menu_->addAction(QStringLiteral("Открыть TALVO"));
  connect(open, &QAction::triggered, this, &AppDelegate::openFromMenu);
  menu_->addSeparator();
  QAction* quit = menu_->addAction(QStringLiteral("Выйти"));
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(quit, &QAction::triggered, this, [this] { requestQuit(QuitCause::user); });
}

void AppDelegate::followCaptureInTheIcon() {
  QPointer<AppDelegate> self(this);
  // The icon follows the recording flag.
  connect(model_, &RecorderModel::recordingChanged, this, [this] { updateStatus(model_->recording(), noLevels); });
  updateStatus(model_->recording(), noLevels);
  // The live meter while recording.
  model_->onStatusLevels = [self](const std::vector<float>& levels) {
    if (self && self->model_ && self->model_->recording()) self->updateStatus(true, levels);
  };
}

void AppDelegate::makeUpdates() {
  QPointer<AppDelegate> self(this);
  // Updates, never while a capture is busy.
  updates_ = new ReleaseUpdates(
      false,
      [self] {
        if (!self || !self->model_) return true;
        return self->model_->recording() || self->model_->starting() || self->model_->stopping();
      },
      [] { return std::make_unique<UpdateDialog>(); }, service_, this);
  // An update under way blocks recording.
  model_->canStartRecording = [self] { return !self || !self->updates_ || !self->updates_->blocksRecording(); };
  // Check at once.
  updates_->check();
}

void AppDelegate::makePanelAndTray() {
  QPointer<AppDelegate> self(this);
  // The panel under the icon; the capture panel goes in once the icon is on its way.
  panel_ = std::make_unique<AnchoredPanel>(
      nullptr,
      [self]() -> std::optional<TrayAnchor> {
        if (!self || !self->item_) return std::nullopt;
        return self->item_->panelAnchor();
      },
      [self] {
        if (self && self->model_ && !self->model_->panelVisible()) self->model_->setPanelVisible(true);
      },
      [self] {
        if (self && self->model_) self->model_->setPanelVisible(false);
      });
  item_ = new TrayPresence(*panel_, *menu_, *appearance_);
  connect(item_, &TrayPresence::clicked, this, &AppDelegate::toggle);
  connect(item_, &TrayPresence::openPanel, this, &AppDelegate::openFromMenu);
  updateStatus(model_->recording(), noLevels);
  // Nothing of the icon's is handled before the event loop runs, so the panel has its content
  // before anything can open it.
  item_->start();
  binding_ = std::make_unique<CapturePanelBinding>(
      CapturePanelBinding::Models{*model_, model_->cloud(), model_->folder(), *loginStartup_, *updates_, reminders_});
  // Built inside the window that shows it: one built apart and moved in has its style sheets
  // worked out twice.
  auto* content = new CapturePanel(*binding_, panel_->window());
  binding_->connectTo(content);
  panel_->setContent(content);
  panel_->setKeepOpenWhile([content] { return content->dialogOpen(); });
  // The idle icon is drawn again when the desktop's look or the bar changes.
  auto redrawIdle = [this] {
    if (!model_->recording()) updateStatus(false, noLevels);
  };
  connect(appearance_, &DesktopAppearance::changed, this, redrawIdle);
  connect(item_, &TrayPresence::lookChanged, this, redrawIdle);
}

void AppDelegate::startReminders() {
  QPointer<AppDelegate> self(this);
  // Reminders start polling.
  MeetingReminderPanel::Hooks hooks;
  hooks.captureBusy = [self] { return !self || self->captureBusy(); };
  hooks.anchor = [self]() -> std::optional<TrayAnchor> {
    if (!self || !self->item_) return std::nullopt;
    QScreen* screen = self->panel_ && self->panel_->window() ? self->panel_->window()->screen() : nullptr;
    return self->item_->reminderAnchor(screen);
  };
  hooks.closeMainPanel = [self] {
    if (self && self->panel_) self->panel_->close();
  };
  hooks.openPanel = [self] {
    if (self) self->openFromMenu();
  };
  hooks.startRecording = [self] {
    if (self && self->model_) self->model_->start();
  };
  reminderPanel_ = std::make_unique<MeetingReminderPanel>(std::move(hooks));
  reminders_->start([self] { return !self || self->captureBusy(); }, *reminderPanel_);
  // Reminders and updater hear of every change of the capture state.
  for (auto changed :
       {&RecorderModel::recordingChanged, &RecorderModel::startingChanged, &RecorderModel::stoppingChanged}) {
    connect(model_, changed, this, &AppDelegate::captureStateChanged);
  }
}

void AppDelegate::routeQuitRequests() {
  // Every way of quitting goes through the one decision.
  quit_ = new QuitController(*model_, {}, this);
  connect(quit_, &QuitController::quitting, this, &AppDelegate::quitting);
  connect(updates_, &ReleaseUpdates::quitRequested, this, [this] { requestQuit(QuitCause::updateRelaunch); });
  if (bus_) connect(bus_, &InstanceBus::openRequested, this, &AppDelegate::openForLaunch);
  // `talvo --quit` (and the launcher's "Выйти" that runs it) waits for a save instead of being refused.
  if (bus_) connect(bus_, &InstanceBus::quitRequested, this, [this] { requestQuit(QuitCause::command); });
}

bool AppDelegate::passGate() {
  // Identity: the program runs under its own application id only.
  if (QGuiApplication::desktopFileName() != QLatin1String(NativeProduct::applicationId)) return false;
  // Another instance: it opens its panel; this one leaves without touching the recordings.
  if (InstanceBus::openRunningInstance()) return false;
  try {
    instanceLock_.emplace(RecorderModel::recordingDirectory(false).toStdString());
  } catch (const std::exception&) {
    qCWarning(captureLog).noquote() << "recordings folder" << RecorderModel::recordingDirectory(false)
                                    << "not locked:" << QString::fromStdString(currentErrorText())
                                    << "- this instance leaves";
    InstanceAlert::run();
    return false;
  }
  bus_ = new InstanceBus(this);
  bus_->publish();  // without a session bus the lock alone keeps a second instance out
  return true;
}

void AppDelegate::toggle() {
  if (!panel_) return;
  if (!panel_->isVisible()) {
    openFromMenu();
  } else {
    panel_->close();
  }
}

void AppDelegate::openFromMenu() {
  if (!panel_ || panel_->isVisible()) return;
  if (item_) item_->userOpens();  // with no tray to hang from, the window shows
  if (loginStartup_) loginStartup_->refresh();
  if (updates_) updates_->check();
  panel_->show(true);
}

void AppDelegate::openForLaunch(const QByteArray& startupId) {
  if (!panel_) return;
  if (startupId.isEmpty() || !panel_->isVisible()) {
    panel_->setStartupId(startupId);
    openFromMenu();
    return;
  }
  // Already open: brought forward, and the launcher hears that the startup is over.
  panel_->setStartupId(startupId);
  panel_->show(true);
}

void AppDelegate::updateStatus(bool recording, std::span<const float> values) {
  if (!item_) return;
  const QImage image =
      statusRenderer_ ? statusRenderer_->image(recording, recording ? values : noLevels, item_->look()) : QImage();
  item_->show(image, recording);
}

bool AppDelegate::captureBusy() const {
  if (!model_) return true;
  if (model_->recording() || model_->starting() || model_->stopping()) return true;
  if (updates_ && updates_->blocksRecording()) return true;
  if (panel_ && panel_->hasOpenOverlay()) return true;  // the panel's own dialog is open
  return QApplication::activeModalWidget() != nullptr;
}

void AppDelegate::captureStateChanged() {
  if (reminders_) reminders_->captureChanged();
  if (updates_) updates_->captureChanged();
}

void AppDelegate::requestQuit(QuitCause cause) {
  if (quit_) {
    quit_->request(cause);
  } else {
    emit quitting();  // nothing built yet: nothing to finish
    QCoreApplication::quit();
  }
}

}  // namespace talvo
