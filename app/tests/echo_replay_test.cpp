// Replays recorded canceller input (TALVO_ECHO_RECORD_DIR of the echo sound test) through the
// program's canceller and prints the echo figures of each: the same sound every time, so settings
// can be compared free of the machine's load and the sound server's timing. Skipped without
// TALVO_ECHO_REPLAY_DIR.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "app/capture/echo_canceller_factory.h"
#include "app/tests/echo_measurement.h"
#include "app/tests/pulse_test_player.h"

namespace talvo {
namespace {

TEST(EchoReplay, RecordedCancellerInput) {
  const std::string directory = testing::envOr("TALVO_ECHO_REPLAY_DIR", "");
  if (directory.empty()) GTEST_SKIP() << "TALVO_ECHO_REPLAY_DIR is not set";
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.path().extension() == ".f32") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    const std::unique_ptr<EchoCanceller> canceller = makeEchoCanceller();
    try {
      const testing::EchoFigures f = testing::replayEcho(file.string(), *canceller);
      std::printf("%-40s first second %5.1f dB, from 2 s %5.1f dB (without %4.1f); near end %+.2f alone, %+.2f both\n",
                  file.filename().c_str(), f.tailFirstSecond, f.tailAdapted, f.tailToday, f.nearAlone, f.doubleTalk);
      std::printf("%-40s %s\n", "", testing::describeDelayFinding(file.string()).c_str());
    } catch (const std::exception& error) {
      std::printf("%-40s not measured: %s\n", file.filename().c_str(), error.what());
    }
  }
}

}  // namespace
}  // namespace talvo
