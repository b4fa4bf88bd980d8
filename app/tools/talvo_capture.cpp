// talvo-capture SECONDS DIRECTORY
//
// Records SECONDS of the computer's sound and the microphone with the real capture engine and
// the PulseAudio sources into DIRECTORY (created with mode 0700 if missing). Prints the WAV's
// path on the first line and the capture report on the second; exits 0 when the recording ended
// without a failure, 1 when it ended with one, 2 on bad arguments or a failed start.
//
// Ctrl-C (SIGINT) or SIGTERM ends the recording early, properly closed.
//
// TALVO_CAPTURE_STAMPING=latency dates blocks by the server's reported latency at each read,
// TALVO_CAPTURE_STAMPING=arrival by their arrival without the averaged device-latency
// correction (for comparing with the program's dating).
// The microphone's echo cancellation is on, as in the program; TALVO_CAPTURE_ECHO_CANCELLATION=0
// turns it off.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/capture/echo_canceller_factory.h"
#include "app/capture/free_space.h"
#include "app/capture/native_audio_capture.h"
#include "app/capture/pulse_capture_source.h"
#include "app/capture/serial_queue.h"
#include "core/system/clock.h"
#include "core/system/posix_file.h"
#include "core/values/recording_id.h"

using namespace talvo;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: talvo-capture SECONDS DIRECTORY\n";
    return 2;
  }
  char* end = nullptr;
  const double seconds = std::strtod(argv[1], &end);
  if (end == argv[1] || *end != '\0' || !(seconds > 0) || !std::isfinite(seconds)) {
    std::cerr << "talvo-capture: SECONDS must be a positive number\n";
    return 2;
  }
  const std::string directory = argv[2];
  try {
    posix_file::makeDirectories(directory);  // missing parts are created with mode 0700
  } catch (const std::exception& error) {
    std::cerr << "talvo-capture: " << directory << ": " << error.what() << "\n";
    return 2;
  }

  // Every thread inherits the blocked signals; one thread waits for them instead.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const std::string stampingName = std::getenv("TALVO_CAPTURE_STAMPING") ? std::getenv("TALVO_CAPTURE_STAMPING") : "";
  const auto stamping = stampingName == "latency"   ? PulseCaptureSource::Stamping::latency
                        : stampingName == "arrival" ? PulseCaptureSource::Stamping::arrival
                                                    : PulseCaptureSource::Stamping::blockDuration;
  auto [computer, microphone] = PulseCaptureSource::makePair(stamping);

  // The tool's "main thread": callbacks run here, one at a time.
  SerialQueue mainQueue("talvo-capture");
  std::mutex mutex;
  std::condition_variable changed;
  bool failed = false;  // or interrupted: the recording ends before SECONDS
  bool finished = false;
  std::optional<std::string> wav;
  std::optional<std::string> failure;

  NativeAudioCapture::Options options;
  const char* cancellation = std::getenv("TALVO_CAPTURE_ECHO_CANCELLATION");
  if (cancellation == nullptr || std::string(cancellation) != "0") options.echoCanceller = makeEchoCanceller;
  NativeAudioCapture capture(
      std::move(computer), std::move(microphone), Clock::system(), availableBytes,
      [&](std::function<void()> task) { mainQueue.async(std::move(task)); }, options);
  capture.onFailure = [&](const std::string&) {
    std::lock_guard lock(mutex);
    failed = true;
    changed.notify_all();
  };
  std::thread signalWaiter([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::lock_guard lock(mutex);
    failed = true;  // not a failure of the recording: it only ends the wait below
    changed.notify_all();
  });
  try {
    capture.start(directory, makeRecordingId());
  } catch (const std::exception& error) {
    std::cerr << "talvo-capture: " << error.what() << "\n";
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    return 2;
  }
  {
    // A failure ends the recording early, as the program's recorder does.
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return failed; });
  }
  capture.stop([&](const std::optional<std::string>& file, const std::optional<std::string>& text) {
    std::lock_guard lock(mutex);
    wav = file;
    failure = text;
    finished = true;
    changed.notify_all();
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return finished; });
  }
  pthread_kill(signalWaiter.native_handle(), SIGTERM);  // ends its wait
  signalWaiter.join();
  if (!wav) {
    std::cerr << "talvo-capture: " << failure.value_or("no file") << "\n";
    return 1;
  }
  std::cout << *wav << "\n";
  std::ifstream report(*wav + ".json");
  std::string line;
  std::getline(report, line);
  std::cout << line << "\n";
  return failure ? 1 : 0;
}
