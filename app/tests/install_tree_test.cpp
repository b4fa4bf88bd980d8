// Unpacking, checking and exchanging the install tree: a good release replaces the old tree in
// one step; every refused archive and a full disk leave the installed tree exactly as it was.
#include "app/updates/install_tree.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <cstdlib>
#include <filesystem>

#include "app/tests/model_test_support.h"
#include "app/updates/update_error.h"
#include "cloud/upload_sha256.h"
#include "core/system/file_error.h"
#include "core/system/unique_fd.h"
#include "testing/fake_update_feed.h"
#include "testing/fuse_mount.h"
#include "testing/require_component.h"
#include "testing/scoped_env.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

using testing::FakeUpdateFeed;
namespace fs = std::filesystem;

class InstallTreeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing::ensureApplication(); }

  UniqueFd archiveFile(const std::string& bytes) {
    std::string path = home_.file("archive-" + std::to_string(++archives_) + ".tar.gz");
    testing::writeWholeFile(path, bytes);
    return UniqueFd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  }

  void installA() {
    InstallTree(root_).install(archiveFile(FakeUpdateFeed::programArchive("1.0.0", log_)).get(), "1.0.0");
    scriptA_ = testing::readWholeFile(root_ + "/bin/talvo");
  }

  // A is installed, whole and alone: nothing staged or escaped beside it.
  void expectOnlyA() {
    EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.0.0");
    // Compared whole but never printed: a wrongly installed program may be a 60 MB binary.
    EXPECT_TRUE(testing::readWholeFile(root_ + "/bin/talvo") == scriptA_) << "bin/talvo is not A's";
    EXPECT_TRUE(fs::exists(root_ + "/share/applications/pro.talvo.recorder.desktop"));
    EXPECT_EQ(testing::installFolderNames(parent_), (std::vector<std::string>{"<installed>", "app"}));
  }

  void expectRefused(const std::string& archive, const std::string& version, const char* why) {
    try {
      InstallTree(root_).install(archiveFile(archive).get(), version);
      ADD_FAILURE() << "installed: " << why;
    } catch (const UpdateError& error) {
      EXPECT_EQ(error.code(), UpdateError::installFailed) << why << ": " << error.what();
    }
    expectOnlyA();
  }

  testing::TempDirectory home_;
  std::string parent_ = home_.file("data/TALVO");
  std::string root_ = parent_ + "/app";
  std::string log_ = home_.file("relaunched.log");
  std::string scriptA_;
  int archives_ = 0;
};

TEST_F(InstallTreeTest, FirstInstallThenAnUpgradeExchangesTheWholeTree) {
  installA();
  expectOnlyA();
  EXPECT_EQ(fs::status(root_ + "/bin/talvo").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
  testing::writeWholeFile(root_ + "/left-by-a", "old");
  InstallTree(root_).install(archiveFile(FakeUpdateFeed::programArchive("1.1.0", log_)).get(), "1.1.0");
  EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.1.0");
  EXPECT_FALSE(fs::exists(root_ + "/left-by-a"));  // A's tree is gone, not merged
  EXPECT_EQ(testing::installFolderNames(parent_), (std::vector<std::string>{"<installed>", "app"}));
}

// An installation from before the install path became a link moves once (the tree exchanged with
// the link); the kept previous tree comes back through the same switch, and the uninstall leaves
// nothing.
TEST_F(InstallTreeTest, AnOldDirectoryInstallMovesOnceThePreviousTreeComesBackAndUninstallRemovesAll) {
  const std::string staging =
      InstallTree(root_).unpack(archiveFile(FakeUpdateFeed::programArchive("1.0.0", log_)).get());
  fs::rename(staging, root_);
  InstallTree tree(root_);
  tree.setKeepPrevious(true);
  tree.install(archiveFile(FakeUpdateFeed::programArchive("1.1.0", log_)).get(), "1.1.0");
  EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.1.0");
  EXPECT_EQ(testing::installFolderNames(parent_),
            (std::vector<std::string>{".app-previous", "<installed>", "<previous>", "app"}));
  EXPECT_TRUE(InstallTree::restorePrevious(root_));
  EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.0.0");
  EXPECT_EQ(testing::installFolderNames(parent_), (std::vector<std::string>{"<installed>", "app"}));
  EXPECT_FALSE(InstallTree::restorePrevious(root_));  // nothing to go back to
  InstallTree::uninstall(root_);
  EXPECT_TRUE(fs::is_empty(parent_));
}

TEST_F(InstallTreeTest, RefusedArchivesLeaveTheInstalledTreeUntouched) {
  installA();
  const std::string program = "#!/bin/sh\necho 1.1.0\n";
  expectRefused(FakeUpdateFeed::makeArchive({{"bin/talvo", program, 0755}, {"../escaped", "x"}}), "1.1.0", "..");
  EXPECT_FALSE(fs::exists(parent_ + "/escaped"));
  expectRefused(FakeUpdateFeed::makeArchive({{"bin/talvo", program, 0755}, {"bin/../../escaped", "x"}}), "1.1.0",
                "inner ..");
  expectRefused(FakeUpdateFeed::makeArchive({{"bin/talvo", program, 0755}, {"/tmp/talvo-absolute", "x"}}), "1.1.0",
                "absolute");
  EXPECT_FALSE(fs::exists("/tmp/talvo-absolute"));
  expectRefused(FakeUpdateFeed::makeArchive({{"bin/talvo", "", 0755, "/bin/sh"}}), "1.1.0", "symbolic link");
  expectRefused(FakeUpdateFeed::makeArchive({{"bin/talvo", "", 0755, "", "../../outside"}}), "1.1.0", "hard link");
  expectRefused(FakeUpdateFeed::makeArchive({{"bin/talvo", program, 0755}, {"bin/talvo", program, 0755}}), "1.1.0",
                "listed twice");
  expectRefused(FakeUpdateFeed::makeArchive({{"share/readme", "no program"}}), "1.1.0", "no bin/talvo");
  expectRefused(FakeUpdateFeed::makeArchive({{"bin/talvo", program, 0644}}), "1.1.0", "not executable");
  expectRefused(FakeUpdateFeed::programArchive("1.2.0", log_), "1.1.0", "another version inside");
  expectRefused(FakeUpdateFeed::programArchive("1.1.0", log_).substr(0, 60), "1.1.0", "truncated gzip");
  expectRefused("plain text, not an archive", "1.1.0", "not an archive");
  // A release in its folder is exactly its manifest's files, and nothing lies outside the folder.
  auto release = FakeUpdateFeed::releaseTree("1.1.0", {{"bin/talvo", program, 0755}});
  release.push_back({"TALVO-1.1.0/bin/extra", "not listed"});
  expectRefused(FakeUpdateFeed::makeArchive(release), "1.1.0", "a file the manifest does not list");
  release.back() = {"elsewhere/file", "x"};
  expectRefused(FakeUpdateFeed::makeArchive(release), "1.1.0", "an entry outside the release folder");
  release.pop_back();
  release[0].content = "#!/bin/sh\necho 1.1.1\n";
  expectRefused(FakeUpdateFeed::makeArchive(release), "1.1.0", "a file that differs from the manifest");
  // A damaged gzip stream that libarchive refuses without any error text.
  static const char undescribed[] =
      "\x1f\x8b\x08\x00\x95\x1d\x18\x6b\x02\xff\xed\xc8\x4b\x0a\x83\x40\x14\x44\xd1\xb7\x94\x5e\x81\x3f"
      "\x68\x7a\x3d\x12\x9c\x8b\x26\x90\xe5\xa7\x75\x24\x99\x2b\x88\xe7\x4c\x6e\x51\x4d\xd3\x4e\xeb\x6b"
      "\x9c\xa7\x38\x4f\x57\x95\x9c\xf7\x56\xff\xad\xfa\xc3\xde\xfe\x32\x94\x1c\xa9\x8b\x0b\x7c\xd6\xf7"
      "\xb8\xa4\x14\x0f\xf5\x0d\x00\x00\xff\xfa\x00\x00\x00\x00\x00\xee\xe8\x07\xcf\x3d\x00\xfc\x00\x28"
      "\x00\x00";
  expectRefused(std::string(undescribed, sizeof undescribed - 1), "1.1.0", "refused without an error text");
  try {
    InstallTree(root_, 4096)
        .install(
            archiveFile(FakeUpdateFeed::makeArchive({{"bin/talvo", program, 0755}, {"big", std::string(5000, 'x')}}))
                .get(),
            "1.1.0");
    ADD_FAILURE() << "over the size cap";
  } catch (const UpdateError& error) {
    EXPECT_EQ(error.code(), UpdateError::installFailed);
  }
  expectOnlyA();
}

TEST_F(InstallTreeTest, FullDiskDuringUnpackLeavesTheInstalledTreeIntact) {
  installA();
  auto archive = archiveFile(FakeUpdateFeed::makeArchive(
      {{"bin/talvo", "#!/bin/sh\necho 1.1.0\n", 0755}, {"lib/big", std::string(4 << 20, 'x')}}));
  // A file size limit makes writes past 1 MiB fail with EFBIG, as a full disk would with ENOSPC.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      InstallTree(root_).install(archive.get(), "1.1.0");
    } catch (const FileError&) {
      _exit(3);
    } catch (...) {
      _exit(4);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  expectOnlyA();
}

// The real program's self-check in a tree laid out like a release (bin/qt.conf naming plugins/):
// a platform plugin that links a library the system lacks keeps the tree from being installed.
TEST_F(InstallTreeTest, TheSelfCheckRefusesATreeWhosePlatformPluginCannotLoad) {
  const std::string tree = home_.file("release");
  const std::string system = QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString();
  fs::create_directories(tree + "/bin");
  fs::copy_file(TALVO_BINARY, tree + "/bin/talvo");
  testing::writeWholeFile(tree + "/bin/qt.conf", "[Paths]\nPrefix = ..\nPlugins = plugins\n");
  for (const char* plugin : {"platforms/libqoffscreen.so", "iconengines/libqsvgicon.so", "imageformats/libqsvg.so"}) {
    fs::create_directories(fs::path(tree + "/plugins/" + plugin).parent_path());
    fs::create_symlink(system + "/" + plugin, tree + "/plugins/" + plugin);
  }
  const std::string version = InstallTree::versionOf(tree + "/bin/talvo");
  ASSERT_FALSE(version.empty());
  // No xcb plugin at all, then one that needs a library nobody has.
  EXPECT_THROW(InstallTree::check(tree, version), UpdateError);
  const std::string xcb = tree + "/plugins/platforms/libqxcb.so";
  fs::copy_file(system + "/platforms/libqxcb.so", xcb);
  ASSERT_EQ(std::system(("patchelf --add-needed libtalvo-nowhere.so.0 '" + xcb + "'").c_str()), 0);
  try {
    InstallTree::check(tree, version);
    ADD_FAILURE() << "a tree whose xcb plugin cannot load passed";
  } catch (const UpdateError& error) {
    EXPECT_EQ(error.code(), UpdateError::installFailed);
    EXPECT_NE(std::string(error.what()).find("libtalvo-nowhere.so.0"), std::string::npos) << error.what();
  }
  fs::remove(xcb);
  fs::create_symlink(system + "/platforms/libqxcb.so", xcb);
  EXPECT_NO_THROW(InstallTree::check(tree, version));
}

// A library file lying in the folder the program is started from is never loaded (an empty
// RUNPATH entry would make the loader look there first).
TEST_F(InstallTreeTest, TheProgramNeverLoadsLibrariesFromTheFolderItStartsIn) {
  for (const char* name : {"libpulse.so.0", "libQt6Core.so.6", "libc.so.6"})
    testing::writeWholeFile(home_.file(name), "x");
  const std::string command = "cd '" + home_.path() + "' && '" TALVO_BINARY "' --version >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

// A release tree whose platform plugin cannot load, or does not start on the display the program
// will use (no X server behind $DISPLAY, on a loopback port nobody serves), is refused and the
// installed tree stays as it was.
TEST_F(InstallTreeTest, ANewTreeWhosePlatformDoesNotStartLeavesTheOldTreeWorking) {
  installA();
  const std::string tree = home_.file("release");
  const std::string system = QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString();
  const std::vector<std::string> files = {"bin/talvo",
                                          "bin/qt.conf",
                                          "plugins/platforms/libqoffscreen.so",
                                          "plugins/platforms/libqxcb.so",
                                          "plugins/iconengines/libqsvgicon.so",
                                          "plugins/imageformats/libqsvg.so"};
  for (const auto& file : files) {
    fs::create_directories(fs::path(tree + "/" + file).parent_path());
    if (file.starts_with("plugins/"))
      fs::copy_file(system + file.substr(std::string_view("plugins").size()), tree + "/" + file);
  }
  fs::copy_file(TALVO_BINARY, tree + "/bin/talvo");
  testing::writeWholeFile(tree + "/bin/qt.conf", "[Paths]\nPrefix = ..\nPlugins = plugins\n");
  auto install = [&](const char* why) {
    std::string manifest = "TALVO manifest 1\n";
    for (const auto& file : files) {
      const std::string content = testing::readWholeFile(tree + "/" + file);
      manifest += UploadSha256::hex(content) + " " + std::to_string(content.size()) + " " + file + "\n";
    }
    testing::writeWholeFile(tree + "/MANIFEST", manifest);
    try {
      InstallTree(root_).installFiles(tree, InstallTree::versionOf(TALVO_BINARY));
      ADD_FAILURE() << "installed: " << why;
    } catch (const UpdateError& error) {
      EXPECT_EQ(error.code(), UpdateError::installFailed) << why;
    }
    expectOnlyA();
  };
  const std::string xcb = tree + "/plugins/platforms/libqxcb.so";
  const std::string plugin = testing::readWholeFile(xcb);
  testing::writeWholeFile(xcb, plugin.substr(0, plugin.size() / 2));
  install("a damaged xcb plugin");
  testing::writeWholeFile(xcb, plugin);
  testing::ScopedEnv platform("QT_QPA_PLATFORM", std::nullopt);
  testing::ScopedEnv display("DISPLAY", "127.0.0.1:59000");
  install("an xcb plugin that cannot reach the display");
}

// A FUSE folder (here ext4 through fuse2fs) exchanges no directories. A crash after any step
// leaves a program at the install path that starts a whole tree, and the next start (which
// clears leftovers) completes the move with nothing else beside the installed tree. The one
// exception is an installation from before the link, moved once: between its two renames the
// install path is missing until the next start (or install) links a whole tree.
TEST_F(InstallTreeTest, OnAFuseFolderACrashAfterAnyStepLeavesAWholeTreeAtTheInstallPath) {
  testing::FuseMount fuse(testing::FuseMount::Kind::ext4);
  TALVO_REQUIRE_COMPONENT(fuse.mounted(), fuse.why());
  const std::string parent = fuse.path() + "/TALVO";
  const std::string root = parent + "/app";
  struct Crash {};
  auto started = [&] { return InstallTree::versionOf(root + "/bin/talvo"); };
  auto crashingUpdate = [&](const std::string& version, int crashAt) {
    InstallTree crashing(root);
    const std::string staging = crashing.unpack(archiveFile(FakeUpdateFeed::programArchive(version, log_)).get());
    InstallTree::check(staging, version);
    crashing.setStepHook([&](int step) {
      if (step == crashAt) throw Crash{};
    });
    EXPECT_THROW(crashing.exchange(staging), Crash) << "step " << crashAt;
  };
  for (int crashAt = 1; crashAt <= 4; ++crashAt) {
    InstallTree::uninstall(root);
    const std::string staging =
        InstallTree(root).unpack(archiveFile(FakeUpdateFeed::programArchive("1.0.0", log_)).get());
    ASSERT_EQ(rename(staging.c_str(), root.c_str()), 0);  // installed as a directory
    crashingUpdate("1.1.0", crashAt);
    if (crashAt != 2) {
      EXPECT_EQ(started(), crashAt == 1 ? "1.0.0" : "1.1.0") << "crash after step " << crashAt;
    }
    InstallTree::removeLeftovers(root);  // what the next start does
    EXPECT_EQ(started(), crashAt == 1 ? "1.0.0" : "1.1.0") << "crash after step " << crashAt;
    EXPECT_TRUE(fs::exists(root + "/share/applications/pro.talvo.recorder.desktop")) << "step " << crashAt;
    EXPECT_EQ(testing::installFolderNames(parent),
              (crashAt == 1 ? std::vector<std::string>{"app"} : std::vector<std::string>{"<installed>", "app"}))
        << "crash after step " << crashAt;
  }
  // Installed as a link: each update is one rename, so the install path always starts a tree.
  for (int crashAt = 1; crashAt <= 2; ++crashAt) {
    const std::string before = started();
    const std::string version = "1.2." + std::to_string(crashAt);
    crashingUpdate(version, crashAt);
    EXPECT_EQ(started(), crashAt == 1 ? before : version) << "crash after step " << crashAt;
    InstallTree::removeLeftovers(root);
    EXPECT_EQ(started(), crashAt == 1 ? before : version) << "crash after step " << crashAt;
    EXPECT_EQ(testing::installFolderNames(parent), (std::vector<std::string>{"<installed>", "app"}));
  }
  // Uncut, the update keeps the previous tree, which comes back through the same switch.
  InstallTree keeping(root);
  keeping.setKeepPrevious(true);
  keeping.install(archiveFile(FakeUpdateFeed::programArchive("1.3.0", log_)).get(), "1.3.0");
  EXPECT_EQ(started(), "1.3.0");
  EXPECT_TRUE(InstallTree::restorePrevious(root));
  EXPECT_EQ(started(), "1.2.2");
  EXPECT_EQ(testing::installFolderNames(parent), (std::vector<std::string>{"<installed>", "app"}));
}

}  // namespace
}  // namespace talvo

namespace talvo {
namespace {

TEST_F(InstallTreeTest, LeftoversGoBeforeTheNextUnpackAndAForeignWritableFolderIsRefused) {
  installA();
  fs::create_directories(parent_ + "/.app-staging-k2Lx9q/bin");
  testing::writeWholeFile(parent_ + "/.talvo-download-Ab12Cd", "partial");
  expectRefused("not an archive", "1.1.0", "damaged archive");  // unpack clears leftovers first
  // A data folder others may write to could have a tree slipped in: nothing is installed there.
  fs::permissions(parent_, fs::perms::others_write | fs::perms::group_write, fs::perm_options::add);
  expectRefused(FakeUpdateFeed::programArchive("1.1.0", log_), "1.1.0", "folder writable by others");
  fs::permissions(parent_, fs::perms::others_write | fs::perms::group_write, fs::perm_options::remove);
}

TEST_F(InstallTreeTest, AFailedDirectorySyncAfterTheExchangeIsNoFailedInstall) {
  installA();
  InstallTree tree(root_ + "/");  // the same tree, spelled with a trailing slash
  tree.setDirectorySync([](int) { throwFileError(FileErrorKind::unknownWrite); });
  tree.install(archiveFile(FakeUpdateFeed::programArchive("1.1.0", log_)).get(), "1.1.0");
  EXPECT_EQ(InstallTree::versionOf(root_ + "/bin/talvo"), "1.1.0");
  // The previous tree is gone too.
  EXPECT_EQ(testing::installFolderNames(parent_), (std::vector<std::string>{"<installed>", "app"}));
}

}  // namespace
}  // namespace talvo
