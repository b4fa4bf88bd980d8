#pragma once
// Records one recording: the computer's sound and the microphone, placed on one timeline by
// their host-clock timestamps, mixed and written every 0.1 s into a crash-safe WAV journal that
// is checkpointed at least every second of audio. Whatever goes wrong while recording (sleep,
// a stalled queue, the 6-hour limit, a silent or lost source, a backlog, a full disk) becomes one
// terminal failure; at the end the file is closed and a JSON report written beside it.
//
// Threads:
//   caller ("main thread")   start, stop; the callbacks come back through `postToMain`.
//   queue  "pro.talvo.capture"          all recording state, consumption, the 0.1 s flush.
//   control "pro.talvo.capture.control" the stop sequence (hops onto `queue` synchronously).
//   source threads           only copy a block and hand it to `queue` under `pendingLock_`,
//                            with at most maximumPendingBlocks (30) waiting per source.
//
// One object serves exactly one recording. The owner may drop it at any time: work it posted to
// the main thread holds shared state, not the engine, and does nothing once the engine is gone.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/capture/audio_source.h"
#include "app/capture/free_space.h"
#include "app/capture/serial_queue.h"
#include "core/recording/capture_progress_mailbox.h"
#include "core/recording/capture_source.h"
#include "core/recording/capture_timeline.h"
#include "core/system/clock.h"
#include "core/recording/echo_canceller.h"
#include "core/recording/wave_journal.h"

namespace talvo {

class NativeAudioCapture {
 public:
  using MainThreadPoster = std::function<void(std::function<void()>)>;
  using ProgressCallback =
      std::function<void(double elapsed, float computer, float microphone, const std::optional<std::string>& warning)>;
  using FailureCallback = std::function<void(const std::string& text)>;
  using StopCompletion =
      std::function<void(const std::optional<std::string>& wav, const std::optional<std::string>& failure)>;

  struct StopResult {
    std::optional<std::string> wav;
    std::optional<std::string> failure;
  };

  struct Options {
    Options() = default;
    Options(bool flushTimer, double maximumSeconds) : flushTimer(flushTimer), maximumSeconds(maximumSeconds) {}
    // Off in tests, which call flushNow() at chosen clock readings instead.
    bool flushTimer = true;
    // The recording's length limit; a parameter only so tests can reach it without 6 hours of data.
    double maximumSeconds = 21600;
    // Makes the microphone's echo canceller at start; none: the microphone is mixed as it came.
    // When it throws, the recording goes on without cancellation and the log says why.
    std::function<std::unique_ptr<EchoCanceller>()> echoCanceller;
  };

  static constexpr std::int64_t maximumBlockBytes = 262144;
  static constexpr std::int64_t maximumBlockFrames = 65536;
  // Blocks each source may have waiting for the capture queue (sources hand over 0.1 s blocks):
  // a busy machine holds the queue up for a second now and then; one held up for 3 s is a
  // stall (sleepGapSeconds) anyway.
  static constexpr int maximumPendingBlocks = 30;
  static constexpr std::uint64_t minimumStartBytes = 134217727;      // start needs more than this (128 MiB)
  static constexpr std::uint64_t minimumCheckpointBytes = 33554431;  // and each checkpoint (32 MiB)

  NativeAudioCapture(std::unique_ptr<AudioSource> computer, std::unique_ptr<AudioSource> microphone,
                     std::shared_ptr<const Clock> clock, FreeSpaceQuery freeSpace, MainThreadPoster postToMain,
                     Options options);
  NativeAudioCapture(std::unique_ptr<AudioSource> computer, std::unique_ptr<AudioSource> microphone,
                     std::shared_ptr<const Clock> clock, FreeSpaceQuery freeSpace, MainThreadPoster postToMain)
      : NativeAudioCapture(std::move(computer), std::move(microphone), std::move(clock), std::move(freeSpace),
                           std::move(postToMain), Options{}) {}
  // Stops a recording that is still running (waits for the stop sequence).
  ~NativeAudioCapture();
  NativeAudioCapture(const NativeAudioCapture&) = delete;
  NativeAudioCapture& operator=(const NativeAudioCapture&) = delete;

  // Set by the owner before start; called through `postToMain`.
  ProgressCallback onProgress;
  FailureCallback onFailure;

  // Checks the id and the free space, creates <directory>/<recordingId>.wav, starts both
  // sources and returns the WAV path. Throws CaptureFailure (or the file error); a start that
  // fails after the file exists closes and keeps that file. Starting the sources takes sound
  // server round trips (up to 5 s each when the server does not answer), so a GUI calls this
  // from a worker thread.
  std::string start(const std::string& directory, const std::string& recordingId);

  // Returns at once; the completion runs through `postToMain` with the finished file (or none)
  // and the failure text (or none). Audio after this call is not written.
  void stop(StopCompletion completion);

  // The stop sequence itself, on the calling thread; `end` is a host-clock reading (default now).
  // A later call does nothing more and returns no file but the same failure.
  StopResult stopAndWait();
  StopResult stopAndWait(double end);

  // One periodic flush, now, on the capture queue (tests drive the engine this way).
  void flushNow();
  // Waits until everything handed to the capture queue so far has run.
  void waitForQueue();

 private:
  class Feed;
  // What main-thread tasks share with the engine. `engine` is cleared (under the lock) when the
  // engine goes; the lock is recursive because a callback may itself drop the engine.
  struct MainThreadState {
    std::recursive_mutex lock;
    NativeAudioCapture* engine = nullptr;
    CaptureProgressMailbox progress;
  };
  // Runs `work` on the main thread, unless the engine is gone by then.
  void postToOwner(std::function<void(NativeAudioCapture&)> work);

  std::unique_ptr<EchoCanceller> makeCanceller() const;
  void handOff(CaptureSource source, const AudioBlock& block);
  void consume(CaptureSource source, std::vector<float> samples, unsigned channels, double sampleRate,
               double hostSeconds);
  void flush(bool final);
  void fail(const std::exception_ptr& error);
  // `text` is shown to the user; `facts` (its text with errno or code) goes to the log instead.
  void fail(const std::string& text, const std::string& facts = {});
  void sourceLost(CaptureSource source);
  static const char* interruptedName(CaptureSource source);
  std::string report() const;

  std::array<std::unique_ptr<AudioSource>, captureSourceCount> sources_;
  std::array<std::unique_ptr<Feed>, captureSourceCount> feeds_;
  std::shared_ptr<const Clock> clock_;
  FreeSpaceQuery freeSpace_;
  MainThreadPoster postToMain_;
  std::shared_ptr<MainThreadState> mainState_;
  Options options_;

  // Hand-off bookkeeping, touched on source threads under the lock.
  mutable std::mutex pendingLock_;
  std::array<int, captureSourceCount> pending_{};
  bool overflowReported_ = false;          // the microphone's backlog limit was hit
  bool computerOverflowReported_ = false;  // the same for the computer's sound (reported alike)

  // Everything below is touched only on `queue_`.
  std::unique_ptr<CaptureTimeline> timeline_;
  std::unique_ptr<EchoCanceller> canceller_;  // none when off or when it could not start
  std::unique_ptr<WaveJournal> writer_;
  double startSeconds_ = 0;
  double lastFlushSeconds_ = 0;
  double lastContinuousSeconds_ = 0;
  std::optional<double> captureEnd_;
  WallTime startedAt_{};
  std::array<std::optional<std::int64_t>, captureSourceCount> nextFrame_{};
  std::array<float, captureSourceCount> peaks_{};
  std::array<std::optional<double>, captureSourceCount> lastDelivery_{};
  std::optional<CaptureSource> lostBeforeReady_;  // a source ended while the other was starting
  std::int64_t lastCheckpoint_ = 0;
  bool terminalFailure_ = false;
  std::optional<std::string> firstFailure_;
  bool ready_ = false;
  bool writeFailed_ = false;

  // Touched only by the caller of start/stop (and the control queue once stopping).
  bool started_ = false;
  bool stopped_ = false;
  std::optional<std::string> stopFailure_;  // what the first stop sequence returned
  std::mutex stopLock_;

  // Declared last: destroyed first, so no queued task outlives the state above.
  std::unique_ptr<SerialQueue> queue_;
  std::unique_ptr<SerialQueue> control_;
};

}  // namespace talvo
