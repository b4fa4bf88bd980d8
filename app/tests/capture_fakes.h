#pragma once
// Test doubles for the capture engine: sources the test feeds by hand, a "main thread" whose
// posted tasks the test runs, and a WAV reader; the clock is testing/stepped_clock.h.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/capture/audio_source.h"
#include "app/capture/native_audio_capture.h"
#include "testing/stepped_clock.h"
#include "testing/temp_directory.h"

namespace talvo::testing {

class FakeSource final : public AudioSource {
 public:
  void start(AudioSourceSink& sink) override {
    std::lock_guard lock(mutex_);
    starts += 1;
    if (startError) {
      std::rethrow_exception(startError);
    }
    sink_ = &sink;
    if (onStart) {
      onStart();
    }
  }
  void stop() noexcept override {
    std::lock_guard lock(mutex_);
    stops += 1;
    sink_ = nullptr;
    if (onStop) {
      onStop();
    }
  }
  // Delivers a block as the device would, on the calling thread. False once stopped.
  bool push(const std::vector<float>& samples, double hostSeconds, double rate = 16000, unsigned channels = 1) {
    std::lock_guard lock(mutex_);
    if (sink_ == nullptr) {
      return false;
    }
    AudioBlock block;
    block.samples = samples.data();
    block.frames = channels == 0 ? samples.size() : samples.size() / channels;
    block.channels = channels;
    block.sampleRate = rate;
    block.hostSeconds = hostSeconds;
    sink_->audioBlock(block);
    return true;
  }
  void lose() {
    std::lock_guard lock(mutex_);
    if (sink_ != nullptr) {
      sink_->sourceLost();
    }
  }

  std::exception_ptr startError;
  std::function<void()> onStart;  // runs inside start, after the sink is set (lock held)
  std::function<void()> onStop;   // runs inside stop (lock held)
  int starts = 0;
  int stops = 0;

 private:
  std::mutex mutex_;
  AudioSourceSink* sink_ = nullptr;
};

// Tasks posted "to the main thread" wait here until the test runs them.
class ManualMainThread {
 public:
  NativeAudioCapture::MainThreadPoster poster() {
    return [this](std::function<void()> task) {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    };
  }
  void run() {
    for (;;) {
      std::vector<std::function<void()>> tasks;
      {
        std::lock_guard lock(mutex_);
        tasks.swap(tasks_);
      }
      if (tasks.empty()) {
        return;
      }
      for (auto& task : tasks) {
        task();
      }
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::function<void()>> tasks_;
};

struct WaveContents {
  std::uint32_t headerDataBytes = 0;
  std::vector<std::int16_t> samples;
};

inline WaveContents readWave(const std::string& path) {
  std::string bytes = readWholeFile(path);
  if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
    throw std::runtime_error("not a WAV file: " + path);
  }
  WaveContents wave;
  std::memcpy(&wave.headerDataBytes, bytes.data() + 40, 4);
  wave.samples.resize((bytes.size() - 44) / 2);
  if (!wave.samples.empty()) {
    std::memcpy(wave.samples.data(), bytes.data() + 44, wave.samples.size() * 2);
  }
  return wave;
}

inline nlohmann::json readReport(const std::string& wavPath) {
  return nlohmann::json::parse(readWholeFile(wavPath + ".json"));
}

inline std::vector<float> constant(std::size_t frames, float value) { return std::vector<float>(frames, value); }

inline const char* const recordingId = "0f6b5d4c-3b2a-4c1d-8e2a-3f0c1a529b7e";

// One engine with fake sources, clock, free space and main thread; the flush timer is off, so
// the test flushes at the clock readings it chooses.
struct CaptureRig {
  CaptureRig(NativeAudioCapture::Options options = {false, 21600}, double host = 1000)
      : clock(std::make_shared<SteppedClock>(host)), startHost(host) {
    auto computerSource = std::make_unique<FakeSource>();
    auto microphoneSource = std::make_unique<FakeSource>();
    computer = computerSource.get();
    microphone = microphoneSource.get();
    engine = std::make_unique<NativeAudioCapture>(
        std::move(computerSource), std::move(microphoneSource), clock,
        [this](const std::string& path) -> std::optional<std::uint64_t> {
          std::lock_guard lock(spaceMutex);
          freeSpaceQueries.push_back(path);
          if (spaceHook) {
            spaceHook();
          }
          return freeSpace;
        },
        main.poster(), options);
    engine->onFailure = [this](const std::string& text) { failures.push_back(text); };
    engine->onProgress = [this](double elapsed, float c, float m, const std::optional<std::string>& warning) {
      progress.push_back({elapsed, c, m, warning});
    };
  }

  std::string start() { return engine->start(directory.path(), recordingId); }
  // Host seconds of timeline position `frame`, with position 0 at the start's clock reading.
  double at(std::int64_t frame) const { return startHost + static_cast<double>(frame) / 16000; }

  TempDirectory directory;
  std::shared_ptr<SteppedClock> clock;
  double startHost;
  ManualMainThread main;
  FakeSource* computer = nullptr;
  FakeSource* microphone = nullptr;
  std::mutex spaceMutex;
  std::optional<std::uint64_t> freeSpace = std::uint64_t{1} << 40;
  std::function<void()> spaceHook;
  std::vector<std::string> freeSpaceQueries;
  std::vector<std::string> failures;
  std::vector<CaptureProgressSnapshot> progress;
  std::unique_ptr<NativeAudioCapture> engine;
};

inline std::string failureText(const std::string& name) {
  return "Не удалось включить " + name + " (-1). Проверьте разрешения звука.";
}

}  // namespace talvo::testing
