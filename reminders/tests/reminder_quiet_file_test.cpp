#include "reminders/reminder_quiet_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/system/file_error.h"
#include "reminders/meeting_reminder_engine.h"
#include "testing/scoped_env.h"
#include "testing/stepped_clock.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

using testing::readWholeFile;
using testing::TempDirectory;
using testing::writeWholeFile;

mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

struct NoNotifier : ReminderNotifier {
  void notify(MeetingApplication) override { ADD_FAILURE() << "no reminder expected"; }
};

TEST(ReminderQuietFile, MissingFolderOrFileMeansNoRecord) {
  TempDirectory temp;
  EXPECT_FALSE(ReminderQuietFile(temp.file("absent/deeper/meeting-quiet.json")).load());
  EXPECT_FALSE(ReminderQuietFile(temp.file("meeting-quiet.json")).load());
}

TEST(ReminderQuietFile, SavesPrivatelyAndReadsBack) {
  TempDirectory temp;
  const std::string folder = temp.file("TALVO");
  ReminderQuietFile file(folder + "/meeting-quiet.json");

  file.save(ReminderQuietState(true, 1700000000.5));
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(file.path()), 0600u);
  EXPECT_EQ(readWholeFile(file.path()), R"({"episodeHandled":true,"lastNotificationAt":1700000000.5,"version":1})");
  EXPECT_EQ(file.load(), ReminderQuietState(true, 1700000000.5));

  file.save(ReminderQuietState(false, std::nullopt));
  EXPECT_EQ(readWholeFile(file.path()), R"({"episodeHandled":false,"version":1})");
  EXPECT_EQ(file.load(), ReminderQuietState(false, std::nullopt));

  // A time written by another encoder as an integer, or null, reads the same.
  writeWholeFile(file.path(), R"({"version":1,"episodeHandled":true,"lastNotificationAt":1700000000})");
  EXPECT_EQ(file.load(), ReminderQuietState(true, 1700000000.0));
  writeWholeFile(file.path(), R"({"version":1,"episodeHandled":false,"lastNotificationAt":null,"extra":[1]})");
  EXPECT_EQ(file.load(), ReminderQuietState(false, std::nullopt));
}

TEST(ReminderQuietFile, ExactlyTheSizeLimitIsRead) {
  TempDirectory temp;
  ReminderQuietFile file(temp.file("meeting-quiet.json"));
  std::string text = R"({"version":1,"episodeHandled":true})";
  text.append(ReminderQuietFile::sizeLimit - text.size(), ' ');
  writeWholeFile(file.path(), text);
  EXPECT_EQ(file.load(), ReminderQuietState(true, std::nullopt));
}

TEST(ReminderQuietFile, DamagedContentFailsTheLoadAndIsKept) {
  TempDirectory temp;
  ReminderQuietFile file(temp.file("meeting-quiet.json"));
  std::string oversized = R"({"version":1,"episodeHandled":true})";
  oversized.append(ReminderQuietFile::sizeLimit + 1 - oversized.size(), ' ');
  const std::vector<std::string> bad = {
      oversized,
      "",
      "{",
      "[]",
      "null",
      R"({"episodeHandled":true})",
      R"({"version":1})",
      R"({"version":"1","episodeHandled":true})",
      R"({"version":1.0,"episodeHandled":true})",
      R"({"version":1,"episodeHandled":1})",
      R"({"version":1,"episodeHandled":"true"})",
      R"({"version":1,"episodeHandled":true,"lastNotificationAt":"1700000000"})",
      R"({"version":99999999999999999999,"episodeHandled":true})",
      R"({"version":1,"episodeHandled":true,"lastNotificationAt":1e999})",
      "{\"version\":1,\"episodeHandled\":true,\"x\":\"\xff\xfe\"}",
      R"({"version":1,"episodeHandled":true} trailing)",
      std::string(8000, '['),
  };
  for (const std::string& text : bad) {
    writeWholeFile(file.path(), text);
    EXPECT_THROW(file.load(), std::exception) << text.substr(0, 80);
    EXPECT_EQ(readWholeFile(file.path()), text);
  }
}

TEST(ReminderQuietFile, RefusesWhatIsNotOurOwnPlainFile) {
  TempDirectory temp;
  const std::string path = temp.file("meeting-quiet.json");
  const std::string target = temp.file("elsewhere.json");
  const std::string good = R"({"version":1,"episodeHandled":false})";
  writeWholeFile(target, good);
  ReminderQuietFile file(path);

  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  EXPECT_THROW(file.load(), FileError);
  ASSERT_EQ(::unlink(path.c_str()), 0);

  ASSERT_EQ(::link(target.c_str(), path.c_str()), 0);  // a second name for someone's file
  EXPECT_THROW(file.load(), FileError);
  ASSERT_EQ(::unlink(path.c_str()), 0);

  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);  // must not block waiting for a writer
  EXPECT_THROW(file.load(), FileError);
  ASSERT_EQ(::unlink(path.c_str()), 0);

  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  EXPECT_THROW(file.load(), std::exception);
  EXPECT_THROW(file.save(ReminderQuietState(false, std::nullopt)), FileError);
  ASSERT_EQ(::rmdir(path.c_str()), 0);

  writeWholeFile(path, good);
  ASSERT_EQ(::chmod(temp.path().c_str(), 0777), 0);  // a folder anyone may write into
  EXPECT_THROW(file.load(), FileError);
  file.save(ReminderQuietState(true, std::nullopt));  // our folder: narrowed and written
  EXPECT_EQ(modeOf(temp.path()), 0700u);
  EXPECT_EQ(file.load(), ReminderQuietState(true, std::nullopt));
}

TEST(ReminderQuietFile, EngineOverHostileFileStaysQuietAndReplacesOnlyTheLink) {
  TempDirectory temp;
  const std::string path = temp.file("meeting-quiet.json");
  const std::string target = temp.file("victim.txt");
  writeWholeFile(target, "precious");
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);

  ReminderQuietFile file(path);
  testing::SteppedClock clock;
  NoNotifier notifier;
  MeetingReminderEngine engine(clock, file, notifier, MeetingCatalog{MeetingCatalog::knownApplications()}, 1);
  EXPECT_TRUE(engine.persistenceFailed());
  EXPECT_TRUE(engine.quiet().episodeHandled);

  // Never deleted by the load; the next save replaces the link itself, not what it points to.
  struct stat info {};
  ASSERT_EQ(::lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  file.save(ReminderQuietState(false, std::nullopt));
  EXPECT_EQ(readWholeFile(target), "precious");
  EXPECT_EQ(file.load(), ReminderQuietState(false, std::nullopt));
}

TEST(ReminderQuietFile, StandardPathIsInTheProgramDataFolder) {
  TempDirectory temp;
  testing::ScopedEnv data("XDG_DATA_HOME", temp.path());
  EXPECT_EQ(ReminderQuietFile::standard().path(), temp.path() + "/TALVO/meeting-quiet.json");
}

}  // namespace
}  // namespace talvo
