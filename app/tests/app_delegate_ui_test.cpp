// The assembled program in the test process, on private data and settings folders.
#include "app/shell/app_delegate.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QGuiApplication>
#include <cstdlib>
#include <future>

#include "app/models/model_worker.h"
#include "app/models/recorder_model.h"
#include "app/tests/ui_test_support.h"
#include "core/program/native_instance_lock.h"
#include "core/program/native_product.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

// Never reached: nothing is paired.
ServiceConfiguration unreachedService() { return {"https://127.0.0.1:9", "t.me", std::nullopt}; }

// Why the start-up gate may have turned the program away: another owner of its bus name.
std::string gateRefusal() {
  auto* bus = QDBusConnection::sessionBus().interface();
  const QString name = QString::fromLatin1(NativeProduct::applicationId);
  if (bus == nullptr || !bus->isServiceRegistered(name).value()) return "the bus name is free";
  const uint pid = bus->servicePid(name).value();
  QFile command(QStringLiteral("/proc/%1/cmdline").arg(pid));
  command.open(QIODevice::ReadOnly);
  return "the bus name is owned by process " + std::to_string(pid) + ": " +
         command.readAll().replace('\0', ' ').toStdString();
}

TEST(AppDelegate, HoldsTheInstanceLockUntilItsModelsAreGone) {
  testing::TempDirectory home;
  setenv("XDG_DATA_HOME", home.file("data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", home.file("config").c_str(), 1);
  ui_test::app();
  QGuiApplication::setDesktopFileName(QString::fromLatin1(NativeProduct::applicationId));
  auto delegate = std::make_unique<AppDelegate>(unreachedService());
  ASSERT_TRUE(delegate->launch()) << gateRefusal();
  const std::string recordings = RecorderModel::recordingDirectory().toStdString();
  bool checked = false;
  QObject::connect(delegate->model(), &QObject::destroyed, [&] {
    // A second instance taking the lock now would work beside this one's last writes.
    EXPECT_THROW(NativeInstanceLock{recordings}, std::exception);
    checked = true;
  });
  delegate.reset();
  EXPECT_TRUE(checked);
  EXPECT_NO_THROW(NativeInstanceLock{recordings});
}

// A worker that outlives the teardown's bounded wait may still write: the lock stays taken (the
// process ends holding it) instead of letting a new instance start beside it.
TEST(AppDelegate, KeepsTheInstanceLockWhenItsWorkersOutliveTheTeardownWait) {
  testing::TempDirectory home;
  setenv("XDG_DATA_HOME", home.file("data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", home.file("config").c_str(), 1);
  ui_test::app();
  QGuiApplication::setDesktopFileName(QString::fromLatin1(NativeProduct::applicationId));
  // An earlier instance of this test program may still hold the bus name.
  QDBusConnection::sessionBus().unregisterService(QString::fromLatin1(NativeProduct::applicationId));
  auto delegate = std::make_unique<AppDelegate>(unreachedService());
  ASSERT_TRUE(delegate->launch()) << gateRefusal();
  const std::string recordings = RecorderModel::recordingDirectory().toStdString();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  modelWorkers()->start([released] { released.wait(); });  // a write into a folder that hangs
  delegate.reset();
  EXPECT_THROW(NativeInstanceLock{recordings}, std::exception) << "the lock went while a worker could still write";
  release.set_value();
  modelWorkers()->waitForDone();
}

}  // namespace
}  // namespace talvo
