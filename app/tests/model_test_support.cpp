#include "app/tests/model_test_support.h"

#include <algorithm>
#include <filesystem>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include "cloud/bounded_desktop_transport.h"

namespace talvo::testing {

void ensureApplication() {
  static int argc = 1;
  static char name[] = "talvo_app_tests";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
}

bool waitUntil(const std::function<bool()>& done, int milliseconds) {
  ensureApplication();
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > milliseconds) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

ModelServiceRig::ModelServiceRig() {
  ensureApplication();
  runs.install(service);
  service.start();
}

ModelServiceRig::~ModelServiceRig() {
  service.stop();
  runs.waitIdle();
}

CloudModel::Setup ModelServiceRig::setup(std::shared_ptr<DeviceVaultStore> store, int tickMilliseconds) const {
  CloudModel::Setup setup;
  setup.store = [store] { return store; };
  ServiceConfiguration configuration;
  configuration.origin = service.origin();
  configuration.telegramHost = service.telegramHost();
  configuration.caFile = service.caFile();
  setup.configuration = configuration;
  setup.transport =
      std::make_shared<BoundedDesktopTransport>(BoundedDesktopTransport::Options{{}, service.caFile(), true});
  setup.openUrl = opened.opener();
  setup.tickMilliseconds = tickMilliseconds;
  return setup;
}

FakeAccount ModelServiceRig::account() { return FakeAccount{"1001", "Алиса", "alice", {{"plan", "unlimited"}}}; }

QStringList& recordStates(RecorderModel& model) {
  auto* states = new QStringList;  // lives as long as the model
  QObject::connect(&model, &QObject::destroyed, [states] { delete states; });
  auto note = [&model, states] {
    *states << QString("%1%2%3").arg(int(model.starting())).arg(int(model.recording())).arg(int(model.stopping()));
  };
  QObject::connect(&model, &RecorderModel::startingChanged, note);
  QObject::connect(&model, &RecorderModel::recordingChanged, note);
  QObject::connect(&model, &RecorderModel::stoppingChanged, note);
  return *states;
}

void linkThroughModel(CloudModel& model, ModelServiceRig& rig) {
  ASSERT_TRUE(waitUntil([&] { return !model.preparing(); }));
  model.connect();
  ASSERT_TRUE(waitUntil([&] { return model.code().has_value() && !model.busy(); }));
  ASSERT_TRUE(rig.service.approvePairing(model.code()->toStdString(), ModelServiceRig::account()));
  ASSERT_TRUE(waitUntil([&] { return model.candidateOwner().has_value(); }));
  model.confirm();
  ASSERT_TRUE(waitUntil([&] { return model.connected() && !model.busy(); }));
}

std::vector<std::string> installFolderNames(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code none;
  const std::string installed = fs::read_symlink(folder + "/app", none).string();
  const std::string previous = fs::read_symlink(folder + "/.app-previous", none).string();
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    names.push_back(name == installed ? "<installed>" : name == previous ? "<previous>" : name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace talvo::testing
