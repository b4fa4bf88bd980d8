#include "core/system/posix_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "core/system/system_call.h"
#include "testing/temp_directory.h"
#include "testing/thrown_error.h"

namespace talvo {
namespace {

using testing::fileErrorKindOf;
using testing::namesIn;
using testing::readWholeFile;
using testing::TempDirectory;
using testing::writeWholeFile;

class PosixFile : public ::testing::Test {
 protected:
  TempDirectory dir;
  UniqueFd dirFd = posix_file::openPrivateDirectory(dir.path(), FileErrorKind::noPermissionWrite);
};

TEST_F(PosixFile, ReplaceCreatesOrReplacesPrivatelyAndLeavesNoTemporary) {
  posix_file::replaceFileAt(dirFd.get(), "record.json", "first");
  EXPECT_EQ(readWholeFile(dir.file("record.json")), "first");
  posix_file::replaceFileAt(dirFd.get(), "record.json", "second, longer");
  EXPECT_EQ(readWholeFile(dir.file("record.json")), "second, longer");
  struct stat info {};
  ASSERT_EQ(::stat(dir.file("record.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"record.json"});
}

TEST_F(PosixFile, ReplaceRefusesNamesThatAreNotPlainFileNames) {
  for (const char* name : {"", ".", "..", "a/b", "../escape"}) {
    EXPECT_EQ(fileErrorKindOf([&] { posix_file::replaceFileAt(dirFd.get(), name, "x"); }),
              FileErrorKind::invalidFileName)
        << name;
  }
  EXPECT_TRUE(namesIn(dir.path()).empty());
}

TEST_F(PosixFile, FailedReplaceKeepsTheOldFileAndRemovesTheTemporary) {
  writeWholeFile(dir.file("record.json"), "old");
  ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
  EXPECT_ANY_THROW(posix_file::replaceFileAt(dirFd.get(), "folder", "x"));  // cannot rename over a folder

  // A file-size limit makes the write itself fail half-way.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = saved;
  tight.rlim_cur = 10;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  const FileErrorKind kind =
      fileErrorKindOf([&] { posix_file::replaceFileAt(dirFd.get(), "record.json", std::string(100, 'n')); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(kind == FileErrorKind::unknownWrite || kind == FileErrorKind::outOfSpace);
  EXPECT_EQ(readWholeFile(dir.file("record.json")), "old");
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"folder", "record.json"}));
}

TEST_F(PosixFile, ReplaceFailingAtTheSyncOrTheRenameKeepsTheOldFile) {
  writeWholeFile(dir.file("record.json"), "old");
  for (SystemCall call : {SystemCall::fsync, SystemCall::renameat}) {
    SystemCallFault fault(call, 1, EIO);
    EXPECT_EQ(fileErrorKindOf([&] { posix_file::replaceFileAt(dirFd.get(), "record.json", "new"); }),
              FileErrorKind::unknownWrite);
    EXPECT_TRUE(fault.struck());
    EXPECT_EQ(readWholeFile(dir.file("record.json")), "old");
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"record.json"});
  }
}

TEST_F(PosixFile, ReadOwnedFileIsBoundedAndRefusesLinksAndStrangers) {
  writeWholeFile(dir.file("ok.json"), std::string(16, 'a'));
  EXPECT_EQ(posix_file::readOwnedFileAt(dirFd.get(), "ok.json", 16), std::string(16, 'a'));
  EXPECT_EQ(fileErrorKindOf([&] { posix_file::readOwnedFileAt(dirFd.get(), "ok.json", 15); }),
            FileErrorKind::corruptFile);
  EXPECT_EQ(fileErrorKindOf([&] { posix_file::readOwnedFileAt(dirFd.get(), "none.json", 16); }),
            FileErrorKind::noSuchFile);

  ASSERT_EQ(::symlink(dir.file("ok.json").c_str(), dir.file("link.json").c_str()), 0);
  EXPECT_EQ(fileErrorKindOf([&] { posix_file::readOwnedFileAt(dirFd.get(), "link.json", 16); }),
            FileErrorKind::noPermissionRead);
  ASSERT_EQ(::link(dir.file("ok.json").c_str(), dir.file("hard.json").c_str()), 0);
  EXPECT_EQ(fileErrorKindOf([&] { posix_file::readOwnedFileAt(dirFd.get(), "hard.json", 16); }),
            FileErrorKind::noPermissionRead);
  ASSERT_EQ(::unlink(dir.file("hard.json").c_str()), 0);
  // A FIFO must be refused, not waited on.
  ASSERT_EQ(::mkfifo(dir.file("pipe.json").c_str(), 0600), 0);
  EXPECT_EQ(fileErrorKindOf([&] { posix_file::readOwnedFileAt(dirFd.get(), "pipe.json", 16); }),
            FileErrorKind::noPermissionRead);
  if (::geteuid() == 0) {
    writeWholeFile(dir.file("theirs.json"), "x");
    ASSERT_EQ(::chown(dir.file("theirs.json").c_str(), 12345, 12345), 0);
    EXPECT_EQ(fileErrorKindOf([&] { posix_file::readOwnedFileAt(dirFd.get(), "theirs.json", 16); }),
              FileErrorKind::noPermissionRead);
  }
}

TEST_F(PosixFile, PrivateDirectoryRefusesLooseModesAndLinksEvenWithATrailingSlash) {
  ASSERT_EQ(::mkdir(dir.file("mine").c_str(), 0700), 0);
  EXPECT_TRUE(posix_file::openPrivateDirectory(dir.file("mine/"), FileErrorKind::noPermissionRead));
  ASSERT_EQ(::symlink(dir.file("mine").c_str(), dir.file("link").c_str()), 0);
  for (const std::string& path : {dir.file("link"), dir.file("link/"), dir.file("link//")}) {
    EXPECT_EQ(fileErrorKindOf([&] { posix_file::openPrivateDirectory(path, FileErrorKind::noPermissionRead); }),
              FileErrorKind::noPermissionRead)
        << path;
  }
  ASSERT_EQ(::chmod(dir.file("mine").c_str(), 0770), 0);
  EXPECT_EQ(
      fileErrorKindOf([&] { posix_file::openPrivateDirectory(dir.file("mine"), FileErrorKind::noPermissionWrite); }),
      FileErrorKind::noPermissionWrite);
}

TEST_F(PosixFile, MakeDirectoriesCreatesEveryLevelPrivate) {
  const mode_t oldMask = ::umask(0);
  posix_file::makeDirectories(dir.file("a/b/c/"));
  ::umask(oldMask);
  for (const char* level : {"a", "a/b", "a/b/c"}) {
    struct stat info {};
    ASSERT_EQ(::stat(dir.file(level).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << level;
  }
  posix_file::makeDirectories(dir.file("a/b/c"));  // existing is fine
  writeWholeFile(dir.file("plain"), "x");
  EXPECT_ANY_THROW(posix_file::makeDirectories(dir.file("plain")));
  EXPECT_ANY_THROW(posix_file::makeDirectories(dir.file("plain/below")));
}

}  // namespace
}  // namespace talvo
