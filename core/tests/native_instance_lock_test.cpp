#include "core/program/native_instance_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "core/system/file_error.h"
#include "core/program/native_product.h"
#include "testing/temp_directory.h"
#include "testing/thrown_error.h"

namespace talvo {
namespace {

using testing::TempDirectory;

FileErrorKind lockFailure(const std::string& directory) {
  return testing::fileErrorKindOf([&] { NativeInstanceLock lock(directory); });
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(NativeInstanceLock, CreatesAPrivateDirectoryAndHoldsTheLockUntilDestroyed) {
  TempDirectory root;
  const std::string recordings = root.file("data/TALVO/Recordings/");
  {
    NativeInstanceLock lock(recordings);
    EXPECT_GE(lock.fd(), 0);
    EXPECT_EQ(modeOf(root.file("data/TALVO/Recordings")), 0700u);
    EXPECT_EQ(modeOf(root.file("data/TALVO/Recordings/.instance.lock")), 0600u);
    // A second lock, even in this process, goes through another open file and must fail.
    EXPECT_EQ(lockFailure(recordings), FileErrorKind::locking);
  }
  NativeInstanceLock again(recordings);  // the file is reused once the holder is gone
}

TEST(NativeInstanceLock, LockOfAKilledProcessDoesNotBlockTheNextStart) {
  TempDirectory root;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      NativeInstanceLock lock(root.path());
      if (::write(ready[1], "x", 1) != 1) ::_exit(3);
      for (;;) ::pause();
    } catch (...) {
      ::_exit(2);
    }
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(lockFailure(root.path()), FileErrorKind::locking);
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  NativeInstanceLock lock(root.path());
}

TEST(NativeInstanceLock, RefusesALockFileThatIsNotPrivateAndLeavesItAsItWas) {
  TempDirectory root;
  const std::string lockPath = root.file(".instance.lock");

  testing::writeWholeFile(root.file("elsewhere"), "keep", 0600);
  ASSERT_EQ(::symlink(root.file("elsewhere").c_str(), lockPath.c_str()), 0);
  EXPECT_EQ(lockFailure(root.path()), FileErrorKind::noPermissionRead);
  ASSERT_EQ(::unlink(lockPath.c_str()), 0);

  ASSERT_EQ(::symlink(root.file("dangling").c_str(), lockPath.c_str()), 0);
  EXPECT_EQ(lockFailure(root.path()), FileErrorKind::noPermissionRead);
  EXPECT_NE(::access(root.file("dangling").c_str(), F_OK), 0) << "a link target was created";
  ASSERT_EQ(::unlink(lockPath.c_str()), 0);

  ASSERT_EQ(::link(root.file("elsewhere").c_str(), lockPath.c_str()), 0);
  EXPECT_EQ(lockFailure(root.path()), FileErrorKind::locking);
  ASSERT_EQ(::unlink(lockPath.c_str()), 0);

  for (mode_t mode : {0644, 0640, 0604, 0601}) {
    testing::writeWholeFile(lockPath, "", mode);
    EXPECT_EQ(lockFailure(root.path()), FileErrorKind::locking) << std::oct << mode;
    EXPECT_EQ(modeOf(lockPath), mode);
    ASSERT_EQ(::unlink(lockPath.c_str()), 0);
  }

  ASSERT_EQ(::mkfifo(lockPath.c_str(), 0600), 0);
  EXPECT_EQ(lockFailure(root.path()), FileErrorKind::locking);
  ASSERT_EQ(::unlink(lockPath.c_str()), 0);

  ASSERT_EQ(::mkdir(lockPath.c_str(), 0700), 0);
  EXPECT_EQ(lockFailure(root.path()), FileErrorKind::noPermissionRead);
  ASSERT_EQ(::rmdir(lockPath.c_str()), 0);
  EXPECT_EQ(testing::readWholeFile(root.file("elsewhere")), "keep");
}

TEST(NativeInstanceLock, RefusesADirectoryOthersCanWriteOrThatIsALink) {
  TempDirectory root;
  const std::string recordings = root.file("Recordings");
  ASSERT_EQ(::mkdir(recordings.c_str(), 0700), 0);
  for (mode_t mode : {0777, 0770, 0720, 0702}) {
    ASSERT_EQ(::chmod(recordings.c_str(), mode), 0);
    EXPECT_EQ(lockFailure(recordings), FileErrorKind::noPermissionRead) << std::oct << mode;
    EXPECT_EQ(modeOf(recordings), mode);
  }
  ASSERT_EQ(::chmod(recordings.c_str(), 0700), 0);
  // The link is refused with or without the trailing slash that recordingsDirectory() ends in.
  ASSERT_EQ(::symlink(recordings.c_str(), root.file("linked").c_str()), 0);
  EXPECT_EQ(lockFailure(root.file("linked")), FileErrorKind::noPermissionRead);
  EXPECT_EQ(lockFailure(root.file("linked/")), FileErrorKind::noPermissionRead);
  EXPECT_NE(::access((recordings + "/.instance.lock").c_str(), F_OK), 0);
  // A plain file where the directory should be.
  testing::writeWholeFile(root.file("file"), "x");
  EXPECT_ANY_THROW(NativeInstanceLock lock(root.file("file")));
}

TEST(NativeInstanceLock, RefusesADirectoryOrLockFileOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  TempDirectory root;
  const std::string recordings = root.file("Recordings");
  ASSERT_EQ(::mkdir(recordings.c_str(), 0700), 0);
  ASSERT_EQ(::chown(recordings.c_str(), 12345, 12345), 0);
  EXPECT_EQ(lockFailure(recordings), FileErrorKind::noPermissionRead);
  ASSERT_EQ(::chown(recordings.c_str(), 0, 0), 0);
  testing::writeWholeFile(recordings + "/.instance.lock", "", 0600);
  ASSERT_EQ(::chown((recordings + "/.instance.lock").c_str(), 12345, 12345), 0);
  EXPECT_EQ(lockFailure(recordings), FileErrorKind::locking);
}

}  // namespace
}  // namespace talvo
