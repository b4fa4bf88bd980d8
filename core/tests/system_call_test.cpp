#include "core/system/system_call.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "core/system/posix_file.h"
#include "testing/temp_directory.h"
#include "testing/thrown_error.h"

namespace talvo {
namespace {

using testing::fileErrorKindOf;
using testing::readWholeFile;
using testing::TempDirectory;

class SystemCallTest : public ::testing::Test {
 protected:
  TempDirectory dir;
  UniqueFd file{::open(dir.file("data").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
};

TEST_F(SystemCallTest, AnInterruptedCallIsMadeAgain) {
  {
    SystemCallFault fault(SystemCall::write, 1, EINTR);
    posix_file::writeAll(file.get(), "abc", 3);
    EXPECT_TRUE(fault.struck());
  }
  {
    SystemCallFault fault(SystemCall::fsync, 1, EINTR);
    EXPECT_NO_THROW(posix_file::syncFile(file.get()));
    EXPECT_TRUE(fault.struck());
  }
  EXPECT_EQ(readWholeFile(dir.file("data")), "abc");
}

TEST_F(SystemCallTest, OnlyTheChosenCallFailsAndOnlyOnce) {
  {
    SystemCallFault fault(SystemCall::fsync, 2, EIO);
    EXPECT_NO_THROW(posix_file::syncFile(file.get()));
    EXPECT_FALSE(fault.struck());
    auto error = testing::thrownError([&] { posix_file::syncFile(file.get()); }, FileError(FileErrorKind::unknownRead));
    EXPECT_EQ(error.kind(), FileErrorKind::unknownWrite);
    EXPECT_EQ(error.errorNumber(), EIO);
    EXPECT_NO_THROW(posix_file::syncFile(file.get()));
  }
  {
    SystemCallFault fault(SystemCall::pwrite, 1, ENOSPC);
    posix_file::writeAll(file.get(), "abc", 3);  // write, not pwrite
    EXPECT_EQ(fileErrorKindOf([&] { posix_file::writeAllAt(file.get(), "d", 1, 0); }), FileErrorKind::outOfSpace);
  }
  EXPECT_EQ(readWholeFile(dir.file("data")), "abc");
}

}  // namespace
}  // namespace talvo
