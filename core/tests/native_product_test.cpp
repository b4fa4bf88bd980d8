#include "core/program/native_product.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "testing/scoped_env.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

using testing::ScopedEnv;

TEST(RecordingsDirectory, FollowsXdgDataHomeAndIgnoresARelativeValue) {
  ScopedEnv home("HOME", "/home/someone");
  ScopedEnv data("XDG_DATA_HOME", "/data/place");
  EXPECT_EQ(recordingsDirectory(), "/data/place/TALVO/Recordings/");
  data.set("relative/place");
  EXPECT_EQ(recordingsDirectory(), "/home/someone/.local/share/TALVO/Recordings/");
  data.set(std::nullopt);
  EXPECT_EQ(recordingsDirectory(), "/home/someone/.local/share/TALVO/Recordings/");
}

// A home reached through a symbolic link (a home folder moved to another disk) is the same home;
// a link inside the install is not the installed program.
TEST(CanonicalInstalledProgram, ResolvesTheDataHomeButNoLinkInsideTheInstall) {
  namespace fs = std::filesystem;
  testing::TempDirectory top;
  char real[PATH_MAX];
  ASSERT_NE(realpath(top.path().c_str(), real), nullptr);
  fs::create_directories(top.file("disk/data/TALVO/app/bin"));
  {
    std::FILE* program = std::fopen(top.file("disk/data/TALVO/app/bin/talvo").c_str(), "w");
    std::fclose(program);
  }
  fs::create_directory_symlink(top.file("disk"), top.file("home"));
  ScopedEnv data("XDG_DATA_HOME", top.file("home/data"));
  EXPECT_EQ(canonicalInstalledProgram(), std::string(real) + "/disk/data/TALVO/app/bin/talvo");
  data.set(top.file("home//data/"));
  EXPECT_EQ(canonicalInstalledProgram(), std::string(real) + "/disk/data/TALVO/app/bin/talvo");
  // The tree itself a link to somewhere else: not the installed program.
  fs::create_directories(top.file("other/data/TALVO"));
  fs::create_directory_symlink(top.file("disk/data/TALVO/app"), top.file("other/data/TALVO/app"));
  data.set(top.file("other/data"));
  EXPECT_EQ(canonicalInstalledProgram(), "");
  // The installer's link to a sibling tree is the installation; the program is the tree's.
  fs::rename(top.file("disk/data/TALVO/app"), top.file("disk/data/TALVO/.app-tree-Ab12Cd"));
  fs::create_directory_symlink(".app-tree-Ab12Cd", top.file("disk/data/TALVO/app"));
  data.set(top.file("home/data"));
  EXPECT_EQ(canonicalInstalledProgram(), std::string(real) + "/disk/data/TALVO/.app-tree-Ab12Cd/bin/talvo");
  data.set(top.file("nothing"));
  EXPECT_EQ(canonicalInstalledProgram(), "");
}

}  // namespace
}  // namespace talvo
