// `talvo --install` / `--uninstall` on a small release tree, in a data home whose path holds the
// characters a menu entry must quote.
#include "app/updates/self_install.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "app/tests/model_test_support.h"
#include "app/updates/install_tree.h"
#include "core/native_instance_lock.h"
#include "reminders/autostart_entry.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

class SelfInstallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing::ensureApplication(); }

  void SetUp() override {
    fs::create_directories(source_ + "/bin");
    fs::create_directories(source_ + "/share/applications");
    fs::create_directories(source_ + "/share/icons/hicolor/scalable/apps");
    testing::writeWholeFile(source_ + "/bin/talvo", "#!/bin/sh\necho 1.0.0\n");
    fs::permissions(source_ + "/bin/talvo", fs::perms::owner_all);
    testing::writeWholeFile(source_ + "/share/applications/pro.talvo.recorder.desktop",
                            "[Desktop Entry]\nType=Application\nName=TALVO\nExec=talvo\nTryExec=talvo\n"
                            "Actions=quit;\n\n[Desktop Action quit]\nName=Выйти\nExec=talvo --quit\n");
    testing::writeWholeFile(source_ + "/share/icons/hicolor/scalable/apps/pro.talvo.recorder.svg", "<svg/>");
  }

  int install(const SelfInstall::Places& places) { return SelfInstall::install(source_, "1.0.0", places, out_, err_); }

  testing::TempDirectory home_;
  std::string source_ = home_.file("unpacked");
  // Characters that would break an unquoted Exec line or a shell command.
  SelfInstall::Places places_{home_.file("a & b|c; 'd' $e"), home_.file("config")};
  std::string root_ = places_.dataHome + "/TALVO/app";
  std::ostringstream out_, err_;
};

TEST_F(SelfInstallTest, InstallsLikeAnUpdateThenUninstallKeepsRecordings) {
  ASSERT_EQ(install(places_), 0) << err_.str();
  EXPECT_NE(out_.str().find(root_), std::string::npos);  // says where it went
  EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.0.0");
  const std::string entryFile = places_.dataHome + "/applications/pro.talvo.recorder.desktop";
  auto entry = AutostartEntry::parse(testing::readWholeFile(entryFile));
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->program, root_ + "/bin/talvo");
  // The quit action keeps its argument behind the installed path.
  const std::string written = testing::readWholeFile(entryFile);
  EXPECT_NE(written.find("\nExec=" + *AutostartEntry::execValue(root_ + "/bin/talvo") + " --quit\n"), std::string::npos)
      << written;
  EXPECT_TRUE(fs::exists(places_.dataHome + "/icons/hicolor/scalable/apps/pro.talvo.recorder.svg"));
  // Installing again exchanges the tree.
  testing::writeWholeFile(root_ + "/stale", "");
  ASSERT_EQ(install(places_), 0) << err_.str();
  EXPECT_FALSE(fs::exists(root_ + "/stale"));

  const std::string recordings = places_.dataHome + "/TALVO/Recordings/";
  fs::create_directories(recordings);
  fs::permissions(recordings, fs::perms::owner_all);
  testing::writeWholeFile(recordings + "meeting.wav", "RIFF");
  fs::create_directories(places_.configHome + "/autostart");
  testing::writeWholeFile(places_.configHome + "/autostart/pro.talvo.recorder.desktop", "[Desktop Entry]\n");
  {
    NativeInstanceLock running(recordings);  // another instance
    EXPECT_EQ(SelfInstall::uninstall(places_, out_, err_), 1);
    EXPECT_TRUE(fs::exists(root_ + "/bin/talvo"));
  }
  ASSERT_EQ(SelfInstall::uninstall(places_, out_, err_), 0) << err_.str();
  EXPECT_FALSE(fs::exists(root_));
  EXPECT_FALSE(fs::exists(entryFile));
  EXPECT_FALSE(fs::exists(places_.dataHome + "/icons/hicolor/scalable/apps/pro.talvo.recorder.svg"));
  EXPECT_FALSE(fs::exists(places_.configHome + "/autostart/pro.talvo.recorder.desktop"));
  EXPECT_EQ(testing::readWholeFile(recordings + "meeting.wav"), "RIFF");
}

TEST_F(SelfInstallTest, UnnameablePathsAndLinksAreRefusedBeforeAnythingIsWritten) {
  SelfInstall::Places percent{home_.file("100%"), home_.file("config")};
  EXPECT_EQ(install(percent), 1);
  EXPECT_FALSE(fs::exists(percent.dataHome));
  SelfInstall::Places newline{home_.file("line\nbreak"), home_.file("config")};
  EXPECT_EQ(install(newline), 1);
  EXPECT_FALSE(fs::exists(newline.dataHome + "/TALVO/app"));
  fs::create_symlink("/etc/passwd", source_ + "/bin/link");
  EXPECT_EQ(install(places_), 1);
  EXPECT_FALSE(fs::exists(root_));
}

}  // namespace
}  // namespace talvo
