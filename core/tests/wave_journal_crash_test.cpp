// A recorder killed with SIGKILL at a random moment must leave a file that recovery turns into
// a valid WAV holding at least everything up to the last checkpoint, and nothing but an exact
// prefix of what was written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "core/tests/wave_file_check.h"
#include "core/recording/wave_journal.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

// The sample written at position i: varied enough that a shifted or repeated block shows.
std::int16_t knownSample(std::uint64_t i) {
  std::uint64_t x = i * 0x9E3779B97F4A7C15ull;
  return static_cast<std::int16_t>(x >> 48);
}

// Runs in the child: writes like the capture engine (0.1 s blocks, a checkpoint every
// `checkpointBlocks` blocks, i.e. at least every 16000 samples) and reports each checkpoint's
// frame count through `report`. Never returns.
[[noreturn]] void recordUntilKilled(const std::string& path, int report, int checkpointBlocks) {
  try {
    WaveJournal journal(path);
    std::uint64_t done = 0;
    const char ready = 'r';
    if (::write(report, &ready, 1) != 1) ::_exit(3);
    std::vector<std::int16_t> block;
    for (int b = 0; b < 4000; ++b) {
      const std::size_t size = 1200 + static_cast<std::size_t>(b % 5) * 200;  // uneven blocks
      block.resize(size);
      for (std::size_t i = 0; i < size; ++i) block[i] = knownSample(done + i);
      journal.append(block);
      done += size;
      if ((b + 1) % checkpointBlocks == 0) {
        journal.checkpoint();
        const std::uint32_t frames = journal.frames();
        if (::write(report, &frames, sizeof frames) != sizeof frames) ::_exit(3);
      }
    }
  } catch (...) {
    ::_exit(2);
  }
  for (;;) ::pause();  // wait for the kill
}

TEST(WaveJournalCrash, RecoveryAfterSigkillKeepsACheckpointedExactPrefix) {
  for (unsigned seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    testing::TempDirectory dir;
    const std::string path = dir.file("crash.wav");
    std::mt19937 random(seed);
    const int checkpointBlocks = 1 + static_cast<int>(random() % 10);  // at most 16000 samples apart
    const auto delay = std::chrono::microseconds(random() % 150000);

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipeFds[0]);
      recordUntilKilled(path, pipeFds[1], checkpointBlocks);
    }
    ::close(pipeFds[1]);
    char ready = 0;
    ASSERT_EQ(::read(pipeFds[0], &ready, 1), 1) << "child could not create the journal";
    std::this_thread::sleep_for(delay);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended on its own with status " << status;

    std::uint32_t lastCheckpoint = 0;
    std::uint32_t frames = 0;
    while (::read(pipeFds[0], &frames, sizeof frames) == sizeof frames) lastCheckpoint = frames;
    ::close(pipeFds[0]);

    WaveJournal::recoverOwnedFile(path);
    const std::string contents = testing::readWholeFile(path);
    ASSERT_GE(contents.size(), 44u);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(contents.data());
    const std::uint32_t dataBytes = wave::readUint32(bytes + 40);
    ASSERT_EQ(contents.size(), 44u + dataBytes);
    ASSERT_EQ(wave::readUint32(bytes + 4), 36u + dataBytes);
    ASSERT_EQ(dataBytes % 2, 0u);
    const auto header = WaveJournal::header(dataBytes / 2);
    ASSERT_EQ(0, std::memcmp(bytes, header.data(), 44));
    const std::uint32_t recovered = dataBytes / 2;
    EXPECT_GE(recovered, lastCheckpoint);
    for (std::uint32_t i = 0; i < recovered; ++i) {
      std::int16_t sample;
      std::memcpy(&sample, bytes + 44 + 2 * i, 2);
      ASSERT_EQ(sample, knownSample(i)) << "at sample " << i << " of " << recovered;
    }
  }
}

}  // namespace
}  // namespace talvo
