#include "core/recording/wave_journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "core/system/file_error.h"
#include "core/tests/wave_file_check.h"
#include "testing/temp_directory.h"
#include "testing/thrown_error.h"

namespace talvo {
namespace {

using testing::fileErrorKindOf;
using testing::readWholeFile;
using testing::TempDirectory;
using testing::writeWholeFile;

std::string headerText(std::uint32_t frames) {
  auto bytes = WaveJournal::header(frames);
  return std::string(bytes.begin(), bytes.end());
}

std::string sampleBytes(const std::vector<std::int16_t>& samples) {
  return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
}

TEST(WaveJournalHeader, IsTheFixedMono16kLayout) {
  const std::uint8_t expected[44] = {'R', 'I', 'F', 'F', 42, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
                                     ' ', 16,  0,   0,   0,  1, 0,   1,   0,   0x80, 0x3e, 0,   0,   0x00, 0x7d,
                                     0,   0,   2,   0,   16, 0, 'd', 'a', 't', 'a',  6,    0,   0,   0};
  auto header = WaveJournal::header(3);
  EXPECT_EQ(0, std::memcmp(header.data(), expected, 44));
  // The largest count still fits the 32-bit RIFF size.
  auto largest = WaveJournal::header(WaveJournal::maximumFrames);
  EXPECT_EQ(wave::readUint32(largest.data() + 4), 4294967294u);
  EXPECT_EQ(wave::readUint32(largest.data() + 40), 4294967258u);
}

TEST(WaveJournalHeaderDeathTest, RefusesACountWhoseSizeOverflows) {
  EXPECT_DEATH(WaveJournal::header(WaveJournal::maximumFrames + 1), "do not fit");
}

TEST(WaveJournal, NewJournalIsAnEmptyPrivateWav) {
  TempDirectory dir;
  WaveJournal journal(dir.file("a.wav"));
  EXPECT_EQ(journal.path(), dir.file("a.wav"));
  EXPECT_EQ(journal.frames(), 0u);
  EXPECT_EQ(readWholeFile(dir.file("a.wav")), headerText(0));
  struct stat info {};
  ASSERT_EQ(::stat(dir.file("a.wav").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(WaveJournal, HeaderOnDiskMovesOnlyAtCheckpointsAndCloseSealsTheFile) {
  TempDirectory dir;
  const std::string path = dir.file("a.wav");
  WaveJournal journal(path);
  const std::vector<std::int16_t> first{1, -2, 32767};
  journal.append(first);
  EXPECT_EQ(journal.frames(), 3u);
  EXPECT_EQ(readWholeFile(path), headerText(0) + sampleBytes(first));  // header still says 0
  journal.checkpoint();
  EXPECT_EQ(readWholeFile(path), headerText(3) + sampleBytes(first));  // 6 data bytes, RIFF 42
  const std::vector<std::int16_t> second{-32768, 0};
  journal.append(second);
  journal.append(std::vector<std::int16_t>{});
  journal.close();
  EXPECT_EQ(journal.frames(), 5u);
  EXPECT_EQ(readWholeFile(path), headerText(5) + sampleBytes(first) + sampleBytes(second));
  // A closed journal refuses further use instead of writing through a stale descriptor.
  EXPECT_EQ(fileErrorKindOf([&] { journal.append(first); }), FileErrorKind::unknownWrite);
  EXPECT_EQ(fileErrorKindOf([&] { journal.checkpoint(); }), FileErrorKind::unknownWrite);
}

TEST(WaveJournal, CloseDropsATornOddByte) {
  TempDirectory dir;
  const std::string path = dir.file("a.wav");
  WaveJournal journal(path);
  journal.append(std::vector<std::int16_t>{7, 8});
  {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "\x09\x00\x0a", 3), 3);  // one more sample and half of another
    ::close(fd);
  }
  journal.close();
  EXPECT_EQ(journal.frames(), 3u);
  EXPECT_EQ(readWholeFile(path), headerText(3) + sampleBytes({7, 8, 9}));
}

TEST(WaveJournal, CloseOfAFileCutBelowItsHeaderIsCorruptAndStillReleasesTheFile) {
  TempDirectory dir;
  const std::string path = dir.file("a.wav");
  WaveJournal journal(path);
  ASSERT_EQ(::truncate(path.c_str(), 10), 0);
  EXPECT_EQ(fileErrorKindOf([&] { journal.close(); }), FileErrorKind::corruptFile);
  EXPECT_EQ(fileErrorKindOf([&] { journal.close(); }), FileErrorKind::unknownWrite);
  EXPECT_EQ(readWholeFile(path).size(), 10u);
}

TEST(WaveJournal, CreatingOverAnythingExistingFailsAndLeavesItAlone) {
  TempDirectory dir;
  writeWholeFile(dir.file("old.wav"), "precious");
  EXPECT_EQ(fileErrorKindOf([&] { WaveJournal journal(dir.file("old.wav")); }), FileErrorKind::alreadyExists);
  EXPECT_EQ(readWholeFile(dir.file("old.wav")), "precious");
  // A symbolic link (even a dangling one) is never followed.
  ASSERT_EQ(::symlink(dir.file("target.wav").c_str(), dir.file("link.wav").c_str()), 0);
  EXPECT_EQ(fileErrorKindOf([&] { WaveJournal journal(dir.file("link.wav")); }), FileErrorKind::alreadyExists);
  EXPECT_NE(::access(dir.file("target.wav").c_str(), F_OK), 0);
  EXPECT_EQ(fileErrorKindOf([&] { WaveJournal journal(dir.file("missing/a.wav")); }), FileErrorKind::alreadyExists);
}

TEST(WaveJournal, AppendPastTheFormatLimitIsRefusedBeforeWriting) {
  TempDirectory dir;
  WaveJournal journal(dir.file("a.wav"));
  std::int16_t one = 0;
  // The limit is checked before the samples are touched, so a span that only claims to be
  // that long is enough to exercise it.
  std::span<const std::int16_t> huge(&one, std::size_t{WaveJournal::maximumFrames} + 1);
  EXPECT_EQ(fileErrorKindOf([&] { journal.append(huge); }), FileErrorKind::outOfSpace);
  EXPECT_EQ(journal.frames(), 0u);
  EXPECT_EQ(readWholeFile(dir.file("a.wav")).size(), 44u);
}

// A file-size limit makes the kernel accept part of a write and refuse the rest: the torn
// block must not shift later samples off their 2-byte boundary.
TEST(WaveJournal, FailedAppendKeepsLaterSamplesAligned) {
  TempDirectory dir;
  const std::string path = dir.file("a.wav");
  WaveJournal journal(path);
  journal.append(std::vector<std::int16_t>{1, 2, 3});
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = saved;
  tight.rlim_cur = 44 + 6 + 3;  // room for one and a half more samples
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  const FileErrorKind kind = fileErrorKindOf([&] { journal.append(std::vector<std::int16_t>{4, 5, 6, 7}); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(kind == FileErrorKind::unknownWrite || kind == FileErrorKind::outOfSpace);
  EXPECT_EQ(journal.frames(), 3u);
  journal.append(std::vector<std::int16_t>{8, 9});
  journal.close();
  EXPECT_EQ(readWholeFile(path), headerText(5) + sampleBytes({1, 2, 3, 8, 9}));
}

class WaveRecovery : public ::testing::Test {
 protected:
  TempDirectory dir;
  std::string path = dir.file("r.wav");

  FileErrorKind refusedLeavingFileAlone(const std::string& target) {
    const std::string before = readWholeFile(target);
    FileErrorKind kind = fileErrorKindOf([&] { WaveJournal::recoverOwnedFile(path); });
    EXPECT_EQ(readWholeFile(target), before);
    return kind;
  }
};

TEST_F(WaveRecovery, ExtendsTheHeaderOverEverySampleOnDisk) {
  std::vector<std::int16_t> tenSeconds(160000);
  for (std::size_t i = 0; i < tenSeconds.size(); ++i) tenSeconds[i] = static_cast<std::int16_t>(i * 31);
  writeWholeFile(path, headerText(0) + sampleBytes(tenSeconds));
  WaveJournal::recoverOwnedFile(path);
  const std::string repaired = readWholeFile(path);
  EXPECT_EQ(repaired, headerText(160000) + sampleBytes(tenSeconds));
  EXPECT_EQ(wave::readUint32(reinterpret_cast<const std::uint8_t*>(repaired.data()) + 40), 320000u);
  // Idempotent on a consistent file.
  WaveJournal::recoverOwnedFile(path);
  EXPECT_EQ(readWholeFile(path), repaired);
}

TEST_F(WaveRecovery, DropsATornLastSampleAndShrinksAnOverstatedHeader) {
  writeWholeFile(path, headerText(1000) + sampleBytes({5, 6}) + "\x07");
  WaveJournal::recoverOwnedFile(path);
  EXPECT_EQ(readWholeFile(path), headerText(2) + sampleBytes({5, 6}));
  writeWholeFile(path, headerText(7));
  WaveJournal::recoverOwnedFile(path);
  EXPECT_EQ(readWholeFile(path), headerText(0));
}

TEST_F(WaveRecovery, RefusesLinksAndFilesThatAreNotOurs) {
  const std::string real = dir.file("real.wav");
  writeWholeFile(real, headerText(0) + sampleBytes({1, 2}));

  ASSERT_EQ(::symlink(real.c_str(), path.c_str()), 0);
  EXPECT_EQ(refusedLeavingFileAlone(real), FileErrorKind::noSuchFile);
  ASSERT_EQ(::unlink(path.c_str()), 0);

  ASSERT_EQ(::link(real.c_str(), path.c_str()), 0);
  EXPECT_EQ(refusedLeavingFileAlone(real), FileErrorKind::noPermissionRead);
  ASSERT_EQ(::unlink(path.c_str()), 0);

  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(fileErrorKindOf([&] { WaveJournal::recoverOwnedFile(path); }), FileErrorKind::noPermissionRead);
  ASSERT_EQ(::unlink(path.c_str()), 0);

  EXPECT_EQ(fileErrorKindOf([&] { WaveJournal::recoverOwnedFile(dir.file("none.wav")); }), FileErrorKind::noSuchFile);
}

TEST_F(WaveRecovery, RefusesAFileOfAnotherOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  writeWholeFile(path, headerText(0) + sampleBytes({1, 2}));
  ASSERT_EQ(::chown(path.c_str(), 12345, 12345), 0);
  EXPECT_EQ(refusedLeavingFileAlone(path), FileErrorKind::noPermissionRead);
}

TEST_F(WaveRecovery, RefusesWhatThisProgramDoesNotWrite) {
  auto variant = [](std::size_t offset, std::string bytes) {
    std::string text = headerText(0);
    text.replace(offset, bytes.size(), bytes);
    return text + sampleBytes({1, 2, 3});
  };
  const std::string cases[] = {
      std::string(43, 'x'),                         // shorter than a header
      headerText(0).substr(0, 43),                  // a torn header
      variant(0, "RIFX"),                           // big-endian RIFF
      variant(8, "AVI "),                           // not WAVE
      variant(12, "LIST"),                          // another first chunk
      variant(16, std::string("\x12\0\0\0", 4)),    // extended format chunk
      variant(20, std::string("\x03\0", 2)),        // float samples
      variant(22, std::string("\x02\0", 2)),        // stereo
      variant(24, std::string("\x44\xac\0\0", 4)),  // 44100 Hz
      variant(34, std::string("\x18\0", 2)),        // 24-bit
      variant(36, "fact"),                          // not the data chunk
  };
  for (const auto& contents : cases) {
    writeWholeFile(path, contents);
    EXPECT_EQ(refusedLeavingFileAlone(path), FileErrorKind::corruptFile) << ::testing::PrintToString(contents);
  }
}

}  // namespace
}  // namespace talvo
