#include <gtest/gtest.h>

#include "autostart/login_startup_policy.h"
#include "core/program/native_product.h"
#include "testing/scoped_env.h"
#include "testing/temp_directory.h"

#include <stdlib.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace talvo {
namespace {

using enum LoginStartupStatus;
using Command = LoginStartupCommand;

TEST(LoginStartupPolicy, OnlyTheInstalledProductionCopyIsEligible) {
  // The installed path follows the user's data directory; the environment is restored after.
  testing::ScopedEnv home("HOME");
  testing::ScopedEnv data("XDG_DATA_HOME", "/home/u/.local/share");
  EXPECT_EQ(LoginStartupPolicy::installedPath(), "/home/u/.local/share/TALVO/app/bin/talvo");
  // Spelled with "//", "." and a trailing "/": still the same place.
  data.set("/home/u//.local/./share/");
  EXPECT_EQ(LoginStartupPolicy::installedPath(), "/home/u/.local/share/TALVO/app/bin/talvo");
  // Installed for real, in a data home reached through a symbolic link (a home on another disk).
  testing::TempDirectory top;
  std::filesystem::create_directories(top.file("disk/share/TALVO/app/bin"));
  std::ofstream(top.file("disk/share/TALVO/app/bin/talvo")).put('#');
  std::filesystem::create_directory_symlink(top.file("disk"), top.file("home"));
  data.set(top.file("home/share"));
  char real[PATH_MAX];
  ASSERT_NE(realpath(LoginStartupPolicy::installedPath().c_str(), real), nullptr);
  const std::string installed = real;  // what /proc/self/exe would say
  EXPECT_TRUE(LoginStartupPolicy::eligible("pro.talvo.recorder", installed, installed, true));
  EXPECT_FALSE(LoginStartupPolicy::eligible("pro.talvo.recorder", installed, installed, false));
  EXPECT_FALSE(LoginStartupPolicy::eligible(std::nullopt, installed, installed, true));
  EXPECT_FALSE(LoginStartupPolicy::eligible("pro.talvo.recorder.dev", installed, installed, true));
  EXPECT_FALSE(LoginStartupPolicy::eligible("pro.talvo.recorder", "/home/u/bin/talvo", installed, true));  // a link
  EXPECT_FALSE(LoginStartupPolicy::eligible("pro.talvo.recorder", "/tmp/talvo", "/tmp/talvo", true));
  EXPECT_FALSE(LoginStartupPolicy::eligible("pro.talvo.recorder", installed + "/", installed + "/", true));
  EXPECT_FALSE(LoginStartupPolicy::eligible("pro.talvo.recorder", "/usr/bin/talvo", "/usr/bin/talvo", true));
  EXPECT_EQ(lexicallyNormal("/a/../b/."), "/a/../b");
  EXPECT_EQ(lexicallyNormal("//"), "/");
  data.set("relative");
  home.set("");
  EXPECT_EQ(LoginStartupPolicy::installedPath(), "");
  EXPECT_FALSE(LoginStartupPolicy::eligible("pro.talvo.recorder", "", "", true));
}

TEST(LoginStartupPolicy, BootstrapDecidesOnlyOnce) {
  struct Row {
    LoginStartupStatus status;
    LoginStartupState state;
    Command command;
  };
  const Row rows[] = {
      {notRegistered, {true, true}, Command::registerItem},
      {enabled, {true, true}, Command::none},
      {requiresApproval, {true, false}, Command::none},
      {notFound, {true, false}, Command::none},
  };
  for (const Row& row : rows) {
    LoginStartupState state;
    EXPECT_EQ(LoginStartupPolicy::bootstrap(true, row.status, state), row.command);
    EXPECT_EQ(state, row.state);
    // Later launches issue nothing, whatever the user did in the system settings meanwhile.
    LoginStartupState after = state;
    for (auto status : {notRegistered, enabled, requiresApproval, notFound})
      EXPECT_EQ(LoginStartupPolicy::bootstrap(true, status, after), Command::none);
    EXPECT_EQ(after, state);
    // A copy that is not eligible changes nothing.
    LoginStartupState untouched;
    EXPECT_EQ(LoginStartupPolicy::bootstrap(false, row.status, untouched), Command::none);
    EXPECT_EQ(untouched, LoginStartupState{});
  }
}

TEST(LoginStartupPolicy, ToggleFollowsTheUser) {
  struct Row {
    bool on;
    LoginStartupStatus status;
    Command command;
  };
  const Row rows[] = {
      {true, notRegistered, Command::registerItem},
      {true, notFound, Command::registerItem},
      {true, enabled, Command::none},
      {true, requiresApproval, Command::none},
      {false, enabled, Command::unregisterItem},
      {false, requiresApproval, Command::unregisterItem},
      {false, notRegistered, Command::none},
      {false, notFound, Command::none},
  };
  for (const Row& row : rows) {
    LoginStartupState state{false, !row.on};
    EXPECT_EQ(LoginStartupPolicy::toggle(row.on, true, row.status, state), row.command);
    EXPECT_EQ(state, (LoginStartupState{true, row.on}));
    LoginStartupState untouched{false, !row.on};
    EXPECT_EQ(LoginStartupPolicy::toggle(row.on, false, row.status, untouched), Command::none);
    EXPECT_EQ(untouched, (LoginStartupState{false, !row.on}));
  }
}

}  // namespace
}  // namespace talvo
