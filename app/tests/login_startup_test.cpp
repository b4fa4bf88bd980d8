// Login startup over the XDG autostart entry, against temporary XDG_DATA_HOME and
// XDG_CONFIG_HOME directories.
#include "app/models/login_startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/tests/model_test_support.h"
#include "core/system/posix_file.h"
#include "autostart/autostart_entry.h"
#include "autostart/login_startup_policy.h"
#include "testing/scoped_env.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

using testing::readWholeFile;
using testing::TempDirectory;
using testing::writeWholeFile;

class LoginStartupTest : public ::testing::Test {
 protected:
  TempDirectory data;
  TempDirectory config;
  TempDirectory system;
  testing::ScopedEnv dataHome{"XDG_DATA_HOME"};
  std::string program;
  std::string entry;
  std::shared_ptr<QSettings> settings;

  void SetUp() override {
    testing::ensureApplication();
    dataHome.set(data.path());
    program = LoginStartupPolicy::installedPath();
    posix_file::makeDirectories(data.path() + "/TALVO/app/bin");
    writeWholeFile(program, "#!/bin/sh\n", 0700);
    entry = config.path() + "/autostart/pro.talvo.recorder.desktop";
    settings = std::make_shared<QSettings>(QString::fromStdString(config.file("settings.ini")), QSettings::IniFormat);
  }

  LoginStartup::Setup setup(bool production = true) {
    LoginStartup::Setup setup;
    setup.settings = settings;
    setup.production = production;
    setup.runningPath = QString::fromStdString(program);
    setup.autostartDirectory = QString::fromStdString(config.path() + "/autostart");
    setup.systemAutostartDirectories = {QString::fromStdString(system.path())};
    setup.openUrl = [](const QUrl&) { return true; };
    return setup;
  }
  std::string storedState() { return settings->value("loginStartupState").toByteArray().toStdString(); }
  bool entryExists() { return ::access(entry.c_str(), F_OK) == 0; }
};

TEST_F(LoginStartupTest, TheFirstEligibleLaunchRegistersOnceAndLaterLaunchesFollowTheUser) {
  {
    LoginStartup startup(setup(), false);
    EXPECT_TRUE(startup.eligible());
    EXPECT_TRUE(startup.enabled());
    EXPECT_EQ(startup.label(), LoginStartup::onLabel);
    EXPECT_EQ(startup.failure(), std::nullopt);
  }
  const auto written = AutostartEntry::parse(readWholeFile(entry));
  ASSERT_TRUE(written);
  EXPECT_EQ(written->program, program);
  EXPECT_EQ(storedState(), R"({"desired":true,"initialized":true})");

  // The user switched it off in the desktop's settings, or removed it: not overruled.
  for (const std::string& disabled :
       {readWholeFile(entry) + "Hidden=true\n", readWholeFile(entry) + "X-GNOME-Autostart-enabled=false\n"}) {
    writeWholeFile(entry, disabled);
    LoginStartup startup(setup(), false);
    EXPECT_FALSE(startup.enabled());
    EXPECT_EQ(startup.label(), LoginStartup::offLabel);
    EXPECT_EQ(readWholeFile(entry), disabled);
  }
  ASSERT_EQ(::unlink(entry.c_str()), 0);
  LoginStartup startup(setup(), false);
  EXPECT_FALSE(entryExists());

  startup.setEnabled(true);
  EXPECT_TRUE(startup.enabled());
  EXPECT_TRUE(entryExists());
  startup.setEnabled(false);
  EXPECT_FALSE(startup.enabled());
  EXPECT_FALSE(entryExists());
  EXPECT_EQ(storedState(), R"({"desired":false,"initialized":true})");
}

TEST_F(LoginStartupTest, ACopyThatIsNotTheInstalledProductionOneTouchesNothing) {
  TempDirectory elsewhere;
  const std::string link = elsewhere.file("talvo");
  ASSERT_EQ(::symlink(program.c_str(), link.c_str()), 0);
  std::vector<LoginStartup::Setup> copies = {setup(false), setup(), setup()};
  copies[1].runningPath = QString::fromStdString(elsewhere.file("other"));  // run from another folder
  copies[2].runningPath = QString::fromStdString(link);                     // reached through a link
  for (auto& copy : copies) {
    LoginStartup startup(copy, false);
    EXPECT_FALSE(startup.eligible());
    startup.setEnabled(true);
    startup.refresh();
    EXPECT_FALSE(startup.enabled());
    EXPECT_EQ(startup.label(), LoginStartup::previewLabel);
  }
  EXPECT_FALSE(::access((config.path() + "/autostart").c_str(), F_OK) == 0);
  EXPECT_FALSE(settings->contains("loginStartupState"));

  // A data home reached through a symbolic link (a home on another disk) is the same home: the
  // installed program run from it is eligible, and its first launch turns login startup on.
  TempDirectory linkedData;
  const std::string alias = linkedData.file("share");
  ASSERT_EQ(::symlink(data.path().c_str(), alias.c_str()), 0);
  dataHome.set(alias);
  auto throughLink = setup();
  throughLink.runningPath = QString::fromStdString(program);
  EXPECT_TRUE(LoginStartup(throughLink, false).eligible());
  EXPECT_TRUE(entryExists());
}

TEST_F(LoginStartupTest, AnInstalledProgramThatCannotRunReadsAsNotFound) {
  ASSERT_EQ(::chmod(program.c_str(), 0600), 0);
  LoginStartup startup(setup(), false);
  EXPECT_TRUE(startup.eligible());
  EXPECT_EQ(startup.label(), LoginStartup::notFoundLabel);
  EXPECT_FALSE(entryExists());  // nothing registered for a program that cannot start
  EXPECT_EQ(storedState(), R"({"desired":false,"initialized":true})");
}

TEST_F(LoginStartupTest, AForeignOrBrokenEntryIsNotOursAndIsReplacedWhenTheUserSwitchesOn) {
  posix_file::makeDirectories(config.path() + "/autostart");
  settings->setValue("loginStartupState", QByteArray(R"({"desired":false,"initialized":true})"));
  for (const std::string& text :
       {std::string("[Desktop Entry]\nExec=/usr/bin/other\n"), std::string("garbage"), std::string(100000, '#')}) {
    writeWholeFile(entry, text);
    LoginStartup startup(setup(), false);
    EXPECT_FALSE(startup.enabled());
    EXPECT_EQ(startup.label(), LoginStartup::offLabel);
    startup.setEnabled(true);
    EXPECT_TRUE(startup.enabled());
    EXPECT_EQ(AutostartEntry::parse(readWholeFile(entry))->program, program);
  }
}

TEST_F(LoginStartupTest, UnregisteringHidesASystemWideEntryAndFailuresAreShown) {
  writeWholeFile(system.file("pro.talvo.recorder.desktop"), AutostartEntry::render(program));
  LoginStartup startup(setup(), false);
  ASSERT_TRUE(startup.enabled());
  startup.setEnabled(false);
  EXPECT_FALSE(startup.enabled());
  EXPECT_TRUE(AutostartEntry::parse(readWholeFile(entry))->hidden);

  // A non-empty directory in the entry's place: the entry cannot be written (even by root).
  ASSERT_EQ(::unlink(entry.c_str()), 0);
  posix_file::makeDirectories(entry);
  writeWholeFile(entry + "/x", "");
  startup.setEnabled(true);
  EXPECT_EQ(startup.failure(), QString(LoginStartup::failureText));
  EXPECT_FALSE(startup.enabled());
  EXPECT_EQ(startup.label(), LoginStartup::offLabel);  // the real state, after the failure
  ASSERT_EQ(::unlink((entry + "/x").c_str()), 0);
  ASSERT_EQ(::rmdir(entry.c_str()), 0);
  startup.setEnabled(true);
  EXPECT_EQ(startup.failure(), std::nullopt);
  EXPECT_TRUE(startup.enabled());
}

// Dotfile managers link ~/.config/autostart to a folder of their own; the user's link is followed
// for reading and writing alike.
TEST_F(LoginStartupTest, ALinkedAutostartFolderIsFollowed) {
  TempDirectory dotfiles;
  const std::string real = dotfiles.path() + "/autostart";
  posix_file::makeDirectories(real);
  ASSERT_EQ(::symlink(real.c_str(), (config.path() + "/autostart").c_str()), 0);
  LoginStartup startup(setup(), false);
  EXPECT_EQ(startup.failure(), std::nullopt);
  EXPECT_TRUE(startup.enabled());
  EXPECT_TRUE(AutostartEntry::parse(readWholeFile(real + "/pro.talvo.recorder.desktop")));
  startup.setEnabled(false);
  EXPECT_FALSE(startup.enabled());
  EXPECT_FALSE(entryExists());
  startup.setEnabled(true);
  EXPECT_EQ(startup.failure(), std::nullopt);
  EXPECT_TRUE(startup.enabled());
}

TEST_F(LoginStartupTest, PreviewReadsAndWritesNothing) {
  LoginStartup startup(setup(), true);
  EXPECT_TRUE(startup.eligible());
  EXPECT_TRUE(startup.enabled());
  EXPECT_EQ(startup.label(), LoginStartup::previewLabel);
  startup.setEnabled(false);
  EXPECT_TRUE(startup.enabled());
  EXPECT_FALSE(entryExists());
  EXPECT_FALSE(settings->contains("loginStartupState"));
}

}  // namespace
}  // namespace talvo
