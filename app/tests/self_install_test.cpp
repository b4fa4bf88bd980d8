// `talvo --install` / `--uninstall` on a small release tree, in a data home whose path holds the
// characters a menu entry must quote.
#include "app/updates/self_install.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "app/tests/model_test_support.h"
#include "app/updates/install_tree.h"
#include "core/program/native_instance_lock.h"
#include "autostart/autostart_entry.h"
#include "testing/fake_update_feed.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;
using testing::FakeUpdateFeed;

class SelfInstallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing::ensureApplication(); }

  // The release archive unpacked in a Downloads folder: TALVO-1.0.0/ with its manifest.
  void SetUp() override {
    for (const auto& file : FakeUpdateFeed::releaseTree(
             "1.0.0", {{"bin/talvo", "#!/bin/sh\necho 1.0.0\n", 0700},
                       {"share/applications/pro.talvo.recorder.desktop",
                        "[Desktop Entry]\nType=Application\nName=TALVO\nExec=talvo\nTryExec=talvo\n"
                        "Actions=quit;\n\n[Desktop Action quit]\nName=Выйти\nExec=talvo --quit\n"},
                       {"share/icons/hicolor/scalable/apps/pro.talvo.recorder.svg", "<svg/>"}})) {
      const std::string path = downloads_ + "/" + file.path;
      fs::create_directories(fs::path(path).parent_path());
      testing::writeWholeFile(path, file.content);
      fs::permissions(path, static_cast<fs::perms>(file.mode));
    }
  }

  // The installed tree's files, MANIFEST aside.
  std::vector<std::string> installedFiles() const {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root_))
      if (!entry.is_directory() && entry.path().filename() != "MANIFEST")
        files.push_back(fs::relative(entry.path(), root_).string());
    std::sort(files.begin(), files.end());
    return files;
  }

  int install(const SelfInstall::Places& places) { return SelfInstall::install(source_, "1.0.0", places, out_, err_); }

  testing::TempDirectory home_;
  std::string downloads_ = home_.file("Downloads");
  std::string source_ = downloads_ + "/TALVO-1.0.0";
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
    NativeInstanceLock running(recordings);  // another instance: neither install nor uninstall
    testing::writeWholeFile(root_ + "/stale", "");
    EXPECT_EQ(install(places_), 1);
    EXPECT_NE(err_.str().find("TALVO запущен"), std::string::npos) << err_.str();
    EXPECT_TRUE(fs::exists(root_ + "/stale"));
    EXPECT_EQ(SelfInstall::uninstall(places_, out_, err_), 1);
    EXPECT_TRUE(fs::exists(root_ + "/bin/talvo"));
  }
  // Cut short before the tree goes: nothing points at it any more.
  EXPECT_THROW(SelfInstall::uninstall(places_, out_, err_, [] { throw std::runtime_error("crash"); }),
               std::runtime_error);
  EXPECT_TRUE(fs::exists(root_ + "/bin/talvo"));
  EXPECT_FALSE(fs::exists(entryFile));
  EXPECT_FALSE(fs::exists(places_.configHome + "/autostart/pro.talvo.recorder.desktop"));
  ASSERT_EQ(SelfInstall::uninstall(places_, out_, err_), 0) << err_.str();
  EXPECT_FALSE(fs::exists(root_));
  // The tree the install path linked to went too.
  EXPECT_EQ(testing::installFolderNames(places_.dataHome + "/TALVO"), std::vector<std::string>{"Recordings"});
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
}

TEST_F(SelfInstallTest, FromAFolderAmongOtherFilesOnlyTheManifestsFilesAreInstalled) {
  // Beside the release and inside its folder: a document, photos, a link, a pipe.
  testing::writeWholeFile(downloads_ + "/report.pdf", "%PDF");
  fs::create_directories(source_ + "/Photos");
  testing::writeWholeFile(source_ + "/Photos/IMG_0001.jpg", std::string(4096, 'x'));
  fs::create_symlink("/etc/passwd", source_ + "/bin/link");
  ASSERT_EQ(mkfifo((source_ + "/pipe").c_str(), 0600), 0);
  ASSERT_EQ(install(places_), 0) << err_.str();
  EXPECT_EQ(installedFiles(), (std::vector<std::string>{"bin/talvo", "share/applications/pro.talvo.recorder.desktop",
                                                        "share/icons/hicolor/scalable/apps/pro.talvo.recorder.svg"}));
  EXPECT_TRUE(fs::is_regular_file(root_ + "/MANIFEST"));
}

TEST_F(SelfInstallTest, ATreeThatDiffersFromItsManifestIsRefusedWithAClearText) {
  const std::string refusal = "не совпадают с её списком файлов";
  auto expectRefused = [&](const char* why) {
    err_.str("");
    EXPECT_EQ(install(places_), 1) << why;
    EXPECT_NE(err_.str().find(refusal), std::string::npos) << why << ": " << err_.str();
    EXPECT_FALSE(fs::exists(root_)) << why;
  };
  const std::string program = testing::readWholeFile(source_ + "/bin/talvo");
  testing::writeWholeFile(source_ + "/bin/talvo", "#!/bin/sh\necho 6.6.6\n");  // same size, other bytes
  expectRefused("a changed file");
  testing::writeWholeFile(source_ + "/bin/talvo", program + "\n");
  expectRefused("a longer file");
  fs::remove(source_ + "/bin/talvo");
  fs::create_symlink("/bin/sh", source_ + "/bin/talvo");
  expectRefused("a link in a listed file's place");
  fs::remove(source_ + "/bin/talvo");
  testing::writeWholeFile(source_ + "/bin/talvo", program);
  fs::permissions(source_ + "/bin/talvo", fs::perms::owner_all);
  const std::string manifest = testing::readWholeFile(source_ + "/MANIFEST");
  testing::writeWholeFile(source_ + "/MANIFEST", manifest + "0000 1 ../escaped\n");
  expectRefused("a manifest that leaves the tree");
  fs::remove(source_ + "/MANIFEST");
  expectRefused("no manifest");
  testing::writeWholeFile(source_ + "/MANIFEST", manifest);
  EXPECT_EQ(install(places_), 0) << err_.str();
}

}  // namespace
}  // namespace talvo
