#include "autostart/autostart_entry.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

TEST(AutostartEntry, WhatWeWriteReadsBackForAnyPath) {
  for (const std::string program :
       {"/home/u/.local/share/TALVO/app/bin/talvo", "/home/Анна Петрова/.local/share/TALVO/app/bin/talvo",
        R"(/home/a"b\c$d`e/TALVO/app/bin/talvo)"}) {
    const auto entry = AutostartEntry::parse(AutostartEntry::render(program));
    ASSERT_TRUE(entry) << program;
    EXPECT_EQ(entry->program, program);
    EXPECT_FALSE(entry->hidden);
    EXPECT_FALSE(entry->disabled);
  }
  const auto hiding = AutostartEntry::parse(AutostartEntry::hiding());
  ASSERT_TRUE(hiding);
  EXPECT_TRUE(hiding->hidden);
}

TEST(AutostartEntry, ReadsTheUsersSwitchesAndOnlyTheDesktopEntryGroup) {
  const auto entry = AutostartEntry::parse(
      "# edited by hand\n[Desktop Entry]\nExec=/opt/talvo --minimized\nHidden=true\n"
      "X-GNOME-Autostart-enabled=false\n\n[Desktop Action x]\nExec=/other\n");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->program, "/opt/talvo");
  EXPECT_TRUE(entry->hidden);
  EXPECT_TRUE(entry->disabled);
  const auto other = AutostartEntry::parse("[Desktop Entry]\nHidden=false\nX-GNOME-Autostart-enabled=true\n");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->program, "");
  EXPECT_FALSE(other->hidden);
  EXPECT_FALSE(other->disabled);
}

TEST(AutostartEntry, TextThatIsNotADesktopEntryIsRefused) {
  for (const std::string& text :
       {std::string(""), std::string("Exec=/x\n"), std::string("[Desktop Entry\nExec=/x\n"),
        std::string("[Desktop Entry]\njust words\n"), std::string("[Desktop Entry]\nExec=\"/unterminated\n"),
        std::string("[Desktop Entry]\nExec=/x\n[Desktop Entry]\nExec=/y\n"), std::string("[Desktop Entry]\n\0x=1", 18),
        "[Desktop Entry]\nExec=/x\n" + std::string(AutostartEntry::sizeLimit, '#')}) {
    EXPECT_FALSE(AutostartEntry::parse(text)) << text.substr(0, 40);
  }
}

}  // namespace
}  // namespace talvo
