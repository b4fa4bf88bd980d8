#include "core/recording/local_recording_export.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "core/values/recording_id.h"
#include "core/system/system_call.h"
#include "testing/fuse_mount.h"
#include "testing/require_component.h"
#include "testing/temp_directory.h"
#include "testing/thrown_error.h"

namespace talvo {
namespace {

using testing::fileErrorKindOf;
using testing::namesIn;
using testing::readWholeFile;
using testing::TempDirectory;
using testing::writeWholeFile;

class LocalRecordingExportTest : public ::testing::Test {
 protected:
  TempDirectory recordings;
  TempDirectory destination;
  std::string name = makeRecordingId() + ".wav";
  std::string source = recordings.file(name);
  std::string bytes = std::string(44, 'h') + std::string(3000, 'a');

  void SetUp() override { writeWholeFile(source, bytes); }

  void expectRefused(FileErrorKind kind, const std::string& from, const std::set<std::string>& left = {}) {
    EXPECT_EQ(fileErrorKindOf([&] { LocalRecordingExport::copy(from, destination.path()); }), kind);
    EXPECT_EQ(namesIn(destination.path()), left) << "a failed copy leaves nothing behind";
  }
};

TEST_F(LocalRecordingExportTest, CopiesUnderTheSameNamePrivatelyAndLeavesTheSourceAlone) {
  const std::string copy = LocalRecordingExport::copy(source, destination.path());
  EXPECT_EQ(copy, destination.file(name));
  EXPECT_EQ(readWholeFile(copy), bytes);
  EXPECT_EQ(readWholeFile(source), bytes);
  EXPECT_EQ(namesIn(destination.path()), std::set<std::string>{name});
  struct stat info {};
  ASSERT_EQ(::stat(copy.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_nlink, 1u);
}

TEST_F(LocalRecordingExportTest, NeverOverwritesAFileOfTheSameName) {
  writeWholeFile(destination.file(name), "theirs");
  expectRefused(FileErrorKind::alreadyExists, source, {name});
  EXPECT_EQ(readWholeFile(destination.file(name)), "theirs");
}

TEST_F(LocalRecordingExportTest, CopiesOnlyFilesNamedLikeOurRecordings) {
  std::string upper = name;
  for (char& c : upper)
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  const std::string id = name.substr(0, name.size() - 4);
  for (const std::string& other : std::vector<std::string>{upper, id + ".WAV", id + ".wav.json", id, "notes.wav",
                                                           "00000000-0000-1000-8000-000000000000.wav"}) {
    writeWholeFile(recordings.file(other), bytes);
    expectRefused(FileErrorKind::invalidFileName, recordings.file(other));
  }
}

TEST_F(LocalRecordingExportTest, RefusesADestinationOthersCanWriteOrThatIsALink) {
  ASSERT_EQ(::chmod(destination.path().c_str(), 0777), 0);
  expectRefused(FileErrorKind::noPermissionWrite, source);
  ASSERT_EQ(::chmod(destination.path().c_str(), 0770), 0);  // group-writable is the user's choice
  EXPECT_NO_THROW(LocalRecordingExport::copy(source, destination.path()));

  TempDirectory other;
  const std::string link = other.file("link");
  ASSERT_EQ(::symlink(destination.path().c_str(), link.c_str()), 0);
  EXPECT_EQ(fileErrorKindOf([&] { LocalRecordingExport::copy(source, link); }), FileErrorKind::noPermissionWrite);
  EXPECT_EQ(fileErrorKindOf([&] { LocalRecordingExport::copy(source, other.file("missing")); }),
            FileErrorKind::noPermissionWrite);
}

TEST_F(LocalRecordingExportTest, RefusesSourcesThatAreLinksSharedOrOfTheWrongSize) {
  TempDirectory elsewhere;
  const std::string linkName = makeRecordingId() + ".wav";
  ASSERT_EQ(::symlink(source.c_str(), elsewhere.file(linkName).c_str()), 0);
  expectRefused(FileErrorKind::noPermissionRead, elsewhere.file(linkName));

  const std::string hardName = makeRecordingId() + ".wav";
  ASSERT_EQ(::link(source.c_str(), elsewhere.file(hardName).c_str()), 0);
  expectRefused(FileErrorKind::noPermissionRead, source);
  expectRefused(FileErrorKind::noPermissionRead, elsewhere.file(hardName));
  ASSERT_EQ(::unlink(elsewhere.file(hardName).c_str()), 0);

  writeWholeFile(source, std::string(43, 'h'));
  expectRefused(FileErrorKind::noPermissionRead, source);
  ASSERT_EQ(::truncate(source.c_str(), 2147483649LL), 0);  // sparse: 2 GiB + 1 byte
  expectRefused(FileErrorKind::noPermissionRead, source);

  expectRefused(FileErrorKind::noPermissionRead, recordings.file(makeRecordingId() + ".wav"));  // missing
  ASSERT_EQ(::mkdir(recordings.file(linkName).c_str(), 0700), 0);
  expectRefused(FileErrorKind::noPermissionRead, recordings.file(linkName));  // a directory
}

TEST_F(LocalRecordingExportTest, LeftoversOfAnInterruptedCopyAreRemovedByTheNextOne) {
  const std::string leftover = ".talvo-" + makeRecordingId();
  writeWholeFile(destination.file(leftover), "half a copy");
  const std::string link = ".talvo-" + makeRecordingId();  // only our own regular files go
  ASSERT_EQ(::symlink(source.c_str(), destination.file(link).c_str()), 0);
  LocalRecordingExport::copy(source, destination.path());
  const std::set<std::string> expected = {name, link};
  EXPECT_EQ(namesIn(destination.path()), expected);

  writeWholeFile(destination.file(leftover), "half a copy");
  LocalRecordingExport::removeLeftovers(destination.path());  // what a start does
  EXPECT_EQ(namesIn(destination.path()), expected);
}

// The copy is published by its link; a temporary name that then refuses to go is only a second
// link to the finished copy: the copy is reported, and the next start removes the extra name.
TEST_F(LocalRecordingExportTest, ALinkedCopyWhoseTemporaryNameStaysIsStillACopy) {
  std::string copy;
  {
    SystemCallFault fault(SystemCall::unlinkat, 1, EIO);
    copy = LocalRecordingExport::copy(source, destination.path());
    EXPECT_TRUE(fault.struck());
  }
  EXPECT_EQ(copy, destination.file(name));
  EXPECT_EQ(readWholeFile(copy), bytes);
  EXPECT_EQ(namesIn(destination.path()).size(), 2u);
  LocalRecordingExport::removeLeftovers(destination.path());
  EXPECT_EQ(namesIn(destination.path()), std::set<std::string>{name});
  EXPECT_EQ(readWholeFile(copy), bytes);
}

TEST_F(LocalRecordingExportTest, ASourceThatGrowsWhileCopyingIsRefused) {
  // Large enough that the copy takes a while; the writer appends from before the copy starts
  // until after it ended, so the copy cannot see one unchanged version of the file.
  writeWholeFile(source, std::string(64 << 20, 'a'));
  std::atomic<bool> started = false;
  std::atomic<bool> done = false;
  std::thread writer([&] {
    const int fd = ::open(source.c_str(), O_WRONLY | O_APPEND);
    const char block[4096] = {};
    while (!done) {
      if (::write(fd, block, sizeof block) != static_cast<ssize_t>(sizeof block)) break;
      started = true;
    }
    ::close(fd);
  });
  while (!started) std::this_thread::yield();
  const FileErrorKind kind = fileErrorKindOf([&] { LocalRecordingExport::copy(source, destination.path()); });
  done = true;
  writer.join();
  EXPECT_EQ(kind, FileErrorKind::corruptFile);
  EXPECT_EQ(namesIn(destination.path()), std::set<std::string>{});
}

class LocalRecordingExportFat : public LocalRecordingExportTest {
 protected:
  void SetUp() override {
    LocalRecordingExportTest::SetUp();
    TALVO_REQUIRE_COMPONENT(fat.mounted(), fat.why());
  }
  // FAT through FUSE, as a USB stick or a synced folder appears: no hard links, no RENAME_NOREPLACE.
  testing::FuseMount fat{testing::FuseMount::Kind::fat};
};

TEST_F(LocalRecordingExportFat, PublishesWithoutLinksNeverReplacesAndLeavesNothingOnFailure) {
  const std::string leftover = fat.path() + "/.talvo-" + makeRecordingId();
  writeWholeFile(leftover, "half a copy");
  const std::string copy = LocalRecordingExport::copy(source, fat.path());
  EXPECT_EQ(copy, fat.path() + "/" + name);
  EXPECT_EQ(readWholeFile(copy), bytes);
  EXPECT_EQ(namesIn(fat.path()), std::set<std::string>{name});  // the leftover went too

  TempDirectory other;
  writeWholeFile(other.file(name), std::string(44, 'h') + "another recording of that name");
  EXPECT_EQ(fileErrorKindOf([&] { LocalRecordingExport::copy(other.file(name), fat.path()); }),
            FileErrorKind::alreadyExists);
  EXPECT_EQ(readWholeFile(copy), bytes);

  const std::string large = makeRecordingId() + ".wav";  // more than the 8 MiB volume holds
  writeWholeFile(other.file(large), std::string(12 << 20, 'a'));
  fileErrorKindOf([&] { LocalRecordingExport::copy(other.file(large), fat.path()); });  // the volume is full
  EXPECT_EQ(namesIn(fat.path()), std::set<std::string>{name});
}

}  // namespace
}  // namespace talvo
