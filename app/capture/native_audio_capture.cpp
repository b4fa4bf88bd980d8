#include "app/capture/native_audio_capture.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "app/capture/capture_failure.h"
#include "core/system/log_sink.h"
#include "core/system/posix_file.h"
#include "core/values/recording_id.h"

namespace talvo {
namespace {

constexpr double rate = static_cast<double>(CaptureTimeline::rate);
constexpr double sleepGapSeconds = 3;    // continuous clock gap that means sleep or a stalled queue
constexpr double trailingSeconds = 0.5;  // output trails real time by this much while recording
constexpr double noDataSeconds = 5;
constexpr double silentSourceSeconds = 1.5;
constexpr double warningSeconds = 3;
// Float noise in `end − start` must not cost the last sample (6 h must give exactly 345,600,000).
constexpr double positionTolerance = 1e-6;

const char* const sleepName = "запись прервана сном компьютера или задержкой сохранения";
const char* const limitName = "достигнута длительность записи 6 часов";
const char* const overflowName = "сохранение: очередь переполнена";
const char* const noComputerWarning = "Звук компьютера ещё не подтверждён. Включите тестовый звук.";

const char* noDataName(CaptureSource source) {
  return source == CaptureSource::computer ? "звук компьютера: нет данных" : "микрофон: нет данных";
}

// Nearest integer, halves away from zero, kept far inside int64 so absurd timestamps cannot
// overflow (they land far outside the timeline window and count as late).
std::int64_t framePosition(double seconds) {
  double frames = std::round(seconds * rate);
  constexpr double limit = 4e15;
  return static_cast<std::int64_t>(std::clamp(frames, -limit, limit));
}

}  // namespace

const char* NativeAudioCapture::interruptedName(CaptureSource source) {
  return source == CaptureSource::computer ? "звук компьютера прерван" : "микрофон прерван";
}

// Receives one source's blocks on the source's thread.
class NativeAudioCapture::Feed final : public AudioSourceSink {
 public:
  Feed(NativeAudioCapture& engine, CaptureSource source) : engine_(engine), source_(source) {}
  void audioBlock(const AudioBlock& block) override { engine_.handOff(source_, block); }
  void sourceLost() override {
    CaptureSource source = source_;
    NativeAudioCapture* engine = &engine_;
    engine_.queue_->async([engine, source] { engine->sourceLost(source); });
  }

 private:
  NativeAudioCapture& engine_;
  CaptureSource source_;
};

NativeAudioCapture::NativeAudioCapture(std::unique_ptr<AudioSource> computer, std::unique_ptr<AudioSource> microphone,
                                       std::shared_ptr<const Clock> clock, FreeSpaceQuery freeSpace,
                                       MainThreadPoster postToMain, Options options)
    : sources_{std::move(computer), std::move(microphone)},
      clock_(std::move(clock)),
      freeSpace_(std::move(freeSpace)),
      postToMain_(std::move(postToMain)),
      mainState_(std::make_shared<MainThreadState>()),
      options_(options),
      timeline_(std::make_unique<CaptureTimeline>()),
      queue_(std::make_unique<SerialQueue>("pro.talvo.capture")),
      control_(std::make_unique<SerialQueue>("pro.talvo.capture.control")) {
  feeds_[index(CaptureSource::computer)] = std::make_unique<Feed>(*this, CaptureSource::computer);
  feeds_[index(CaptureSource::microphone)] = std::make_unique<Feed>(*this, CaptureSource::microphone);
  mainState_->engine = this;
}

NativeAudioCapture::~NativeAudioCapture() {
  {
    // Waits for a callback running on the main thread; later tasks find no engine.
    std::lock_guard lock(mainState_->lock);
    mainState_->engine = nullptr;
  }
  // A pending stop() finishes first; then a recording nobody stopped is stopped here.
  control_.reset();
  if (started_) {
    stopAndWait();
  }
  queue_.reset();
}

std::string NativeAudioCapture::start(const std::string& directory, const std::string& recordingId) {
  if (started_) {
    throw std::logic_error("a capture object records only once");
  }
  if (!isRecordingId(recordingId)) {
    throw CaptureFailure::format();
  }
  std::optional<std::uint64_t> space = freeSpace_(directory);
  if (space && *space <= minimumStartBytes) {
    throw CaptureFailure::disk();
  }
  started_ = true;
  std::string path = directory + "/" + recordingFileName(recordingId);
  std::unique_ptr<EchoCanceller> canceller = makeCanceller();
  try {
    queue_->sync([&] {
      startedAt_ = clock_->wallTime();
      writer_ = std::make_unique<WaveJournal>(path);
      canceller_ = std::move(canceller);
      startSeconds_ = lastFlushSeconds_ = clock_->monotonicSeconds();
      lastContinuousSeconds_ = clock_->bootSeconds();
      captureEnd_.reset();
    });
    // Both sources run before position 0 is fixed, so neither starts with a gap of the other's
    // start-up time.
    sources_[index(CaptureSource::computer)]->start(*feeds_[index(CaptureSource::computer)]);
    sources_[index(CaptureSource::microphone)]->start(*feeds_[index(CaptureSource::microphone)]);
    queue_->sync([&] {
      // A source that ended while the other was still starting has lost its stream already.
      if (lostBeforeReady_) {
        throw CaptureFailure::audio(interruptedName(*lostBeforeReady_), -1);
      }
      startSeconds_ = lastFlushSeconds_ = clock_->monotonicSeconds();
      lastContinuousSeconds_ = clock_->bootSeconds();
      startedAt_ = clock_->wallTime();
      ready_ = true;
    });
    if (options_.flushTimer) {
      queue_->startTimer(std::chrono::milliseconds(500), std::chrono::milliseconds(100), [this] { flush(false); });
    }
    return path;
  } catch (...) {
    std::exception_ptr error = std::current_exception();
    queue_->sync([&] { fail(error); });
    stopAndWait(clock_->monotonicSeconds());
    std::rethrow_exception(error);
  }
}

void NativeAudioCapture::stop(StopCompletion completion) {
  double end = clock_->monotonicSeconds();
  control_->async([this, end, completion = std::move(completion)] {
    StopResult result = stopAndWait(end);
    postToMain_([completion, result] {
      if (completion) {
        completion(result.wav, result.failure);
      }
    });
  });
}

std::unique_ptr<EchoCanceller> NativeAudioCapture::makeCanceller() const {
  if (!options_.echoCanceller) {
    LogSink::line(log_category::capture, LogLevel::debug, "echo cancellation off");
    return nullptr;
  }
  try {
    std::unique_ptr<EchoCanceller> canceller = options_.echoCanceller();
    LogSink::line(log_category::capture, LogLevel::debug, "echo cancellation on");
    return canceller;
  } catch (const std::exception& error) {
    LogSink::line(log_category::capture, LogLevel::warning,
                  std::string("echo cancellation could not start, recording without it: ") + error.what());
  }
  return nullptr;
}

NativeAudioCapture::StopResult NativeAudioCapture::stopAndWait() { return stopAndWait(clock_->monotonicSeconds()); }

NativeAudioCapture::StopResult NativeAudioCapture::stopAndWait(double end) {
  std::lock_guard stopping(stopLock_);
  if (stopped_) {
    return {std::nullopt, stopFailure_};
  }
  stopped_ = true;

  queue_->sync([&] {
    if (ready_ && clock_->bootSeconds() - lastContinuousSeconds_ > sleepGapSeconds) {
      end = lastFlushSeconds_;
      fail(CaptureFailure::audio(sleepName, -1).what());
    }
    captureEnd_ = captureEnd_ ? std::min(*captureEnd_, end) : end;
  });

  // When stop() returns no source calls its feed again; blocks already handed over still run
  // on the queue before the final flush below, and only those before the end are written.
  sources_[index(CaptureSource::computer)]->stop();
  sources_[index(CaptureSource::microphone)]->stop();
  queue_->cancelTimer();

  StopResult result;
  queue_->sync([&] {
    std::optional<std::string> text;
    if (writer_) {
      flush(true);
      try {
        writer_->close();
        result.wav = writer_->path();
        posix_file::replaceFile(writer_->path() + ".json", report());
      } catch (const std::exception& error) {
        text = error.what();
        LogSink::line(log_category::capture, LogLevel::warning,
                      "recording " + writer_->path() + " not finalised: " + currentErrorText());
      }
    }
    result.failure = firstFailure_ ? firstFailure_ : text;
    writer_.reset();
    canceller_.reset();
    ready_ = false;
  });
  stopFailure_ = result.failure;
  return result;
}

void NativeAudioCapture::flushNow() {
  queue_->sync([this] { flush(false); });
}

void NativeAudioCapture::waitForQueue() {
  queue_->sync([] {});
}

void NativeAudioCapture::handOff(CaptureSource source, const AudioBlock& block) {
  const std::size_t s = index(source);
  const std::int64_t frames = static_cast<std::int64_t>(block.frames);
  const std::int64_t bytes = frames * static_cast<std::int64_t>(block.channels) * 4;
  if (block.frames == 0 || block.samples == nullptr) {
    return;
  }
  if (source == CaptureSource::computer && bytes > maximumBlockBytes) {
    // The computer's device hands over whole device buffers; one this large is not a format
    // this program can take.
    queue_->async([this] { fail(CaptureFailure::format().what()); });
    return;
  }
  {
    std::lock_guard lock(pendingLock_);
    bool& reported = source == CaptureSource::microphone ? overflowReported_ : computerOverflowReported_;
    if (pending_[s] >= maximumPendingBlocks || bytes > maximumBlockBytes || frames > maximumBlockFrames) {
      // The capture queue is behind (or the block is absurd): drop it rather than grow a
      // backlog without bound, and say so once.
      if (!reported) {
        reported = true;
        queue_->async([this] { fail(CaptureFailure::audio(overflowName, -1).what()); });
      }
      return;
    }
    pending_[s] += 1;
  }
  std::vector<float> copy;
  try {
    copy.assign(block.samples, block.samples + block.frames * std::max(block.channels, 1u));
  } catch (const std::bad_alloc&) {
    logSwallowed(log_category::capture, "no memory for a sound block", "block dropped", LogLevel::warning);
    std::lock_guard lock(pendingLock_);
    pending_[s] -= 1;
    return;
  }
  queue_->async([this, source, copy = std::move(copy), channels = block.channels, sampleRate = block.sampleRate,
                 host = block.hostSeconds]() mutable {
    consume(source, std::move(copy), channels, sampleRate, host);
    std::lock_guard lock(pendingLock_);
    pending_[index(source)] -= 1;
  });
}

void NativeAudioCapture::consume(CaptureSource source, std::vector<float> samples, unsigned channels, double sampleRate,
                                 double hostSeconds) {
  if (!ready_ || !writer_ || terminalFailure_) {
    return;
  }
  // The server is asked for 16 kHz mono float; it resamples, so another rate means a device or
  // server that ignored the request. Extra channels are folded down.
  if (channels == 0 || !(sampleRate > 0) || sampleRate != rate) {
    fail(CaptureFailure::format().what());
    return;
  }
  if (!(hostSeconds > 0) || !std::isfinite(hostSeconds)) {
    return;
  }
  if (channels > 1) {
    std::size_t frames = samples.size() / channels;
    for (std::size_t f = 0; f < frames; ++f) {
      float sum = 0;
      for (unsigned c = 0; c < channels; ++c) {
        sum += samples[f * channels + c];
      }
      samples[f] = sum / static_cast<float>(channels);
    }
    samples.resize(frames);
  }
  if (samples.empty()) {
    return;
  }

  const std::size_t s = index(source);
  std::int64_t w = framePosition(hostSeconds - startSeconds_);
  std::int64_t start = w;
  // ±1 frame of timestamp jitter continues the previous block; anything more is a real gap or
  // overlap and stays one.
  if (nextFrame_[s] && std::llabs(w - *nextFrame_[s]) < 2) {
    start = *nextFrame_[s];
  }
  nextFrame_[s] = start + static_cast<std::int64_t>(samples.size());
  float peak = 0;
  for (float v : samples) {
    if (std::isfinite(v)) {
      peak = std::max(peak, std::fabs(v));
    }
  }
  peaks_[s] = peak;
  lastDelivery_[s] = clock_->monotonicSeconds();
  timeline_->ingest(source, start, samples);
}

void NativeAudioCapture::flush(bool final) {
  if (!writer_ || !ready_ || writeFailed_) {
    return;
  }
  const double now = clock_->monotonicSeconds();
  const double continuous = clock_->bootSeconds();
  if (continuous - lastContinuousSeconds_ > sleepGapSeconds && !captureEnd_) {
    captureEnd_ = lastFlushSeconds_;
    fail(CaptureFailure::audio(sleepName, -1).what());
  }
  if (now - startSeconds_ >= options_.maximumSeconds && !captureEnd_) {
    captureEnd_ = startSeconds_ + options_.maximumSeconds;
    fail(CaptureFailure::audio(limitName, -1).what());
  }
  lastFlushSeconds_ = now;
  lastContinuousSeconds_ = continuous;

  const double elapsed = (captureEnd_ ? *captureEnd_ : now) - startSeconds_;
  const double targetSeconds = final ? elapsed : elapsed - trailingSeconds;
  const std::int64_t target =
      static_cast<std::int64_t>(std::max(0.0, std::floor(targetSeconds * rate + positionTolerance)));

  try {
    while (timeline_->cursor() < target) {
      writer_->append(timeline_->drain(target, canceller_.get()));
    }
    if (final || timeline_->cursor() - lastCheckpoint_ >= CaptureTimeline::rate) {
      writer_->checkpoint();
      lastCheckpoint_ = timeline_->cursor();
      std::optional<std::uint64_t> space = freeSpace_(writer_->path());
      if (!space || *space <= minimumCheckpointBytes) {
        throw CaptureFailure::disk();
      }
    }
  } catch (...) {
    writeFailed_ = true;
    fail(std::current_exception());
    return;
  }
  if (final) {
    return;
  }

  for (CaptureSource source : {CaptureSource::computer, CaptureSource::microphone}) {
    const std::size_t s = index(source);
    if (!lastDelivery_[s]) {
      if (elapsed > noDataSeconds) {
        fail(CaptureFailure::audio(noDataName(source), -1).what());
      }
    } else if (now - *lastDelivery_[s] > silentSourceSeconds) {
      peaks_[s] = 0;
      fail(CaptureFailure::audio(interruptedName(source), -1).what());
    }
  }

  CaptureProgressSnapshot snapshot;
  snapshot.elapsed = elapsed;
  snapshot.computer = peaks_[index(CaptureSource::computer)];
  snapshot.microphone = peaks_[index(CaptureSource::microphone)];
  if (timeline_->delivered(CaptureSource::computer) == 0 && elapsed > warningSeconds) {
    snapshot.warning = noComputerWarning;
  }
  if (mainState_->progress.offer(std::move(snapshot))) {
    postToOwner([](NativeAudioCapture& engine) {
      std::optional<CaptureProgressSnapshot> latest = engine.mainState_->progress.drain();
      if (latest && engine.onProgress) {
        engine.onProgress(latest->elapsed, latest->computer, latest->microphone, latest->warning);
      }
    });
  }
}

void NativeAudioCapture::sourceLost(CaptureSource source) {
  // A lost stream or server delivers nothing more: say so at once instead of waiting out the
  // 1.5 s silence rule. Before the recording runs, the start fails on it.
  if (!ready_) {
    if (!lostBeforeReady_) {
      lostBeforeReady_ = source;
    }
    return;
  }
  peaks_[index(source)] = 0;
  fail(CaptureFailure::audio(interruptedName(source), -1).what());
}

void NativeAudioCapture::fail(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    fail(std::string(e.what()), currentErrorText());
  } catch (...) {
    fail(std::string(CaptureFailure::format().what()));
  }
}

void NativeAudioCapture::fail(const std::string& text, const std::string& facts) {
  const std::string logged = facts.empty() ? text : facts;
  if (terminalFailure_) {
    LogSink::line(log_category::capture, LogLevel::debug, "later capture failure dropped: " + logged);
    return;
  }
  LogSink::line(log_category::capture, LogLevel::warning, "capture fails: " + logged);
  terminalFailure_ = true;
  firstFailure_ = text;
  postToOwner([text](NativeAudioCapture& engine) {
    if (engine.onFailure) {
      engine.onFailure(text);
    }
  });
}

void NativeAudioCapture::postToOwner(std::function<void(NativeAudioCapture&)> work) {
  postToMain_([state = mainState_, work = std::move(work)] {
    std::lock_guard lock(state->lock);
    if (state->engine != nullptr) {
      work(*state->engine);
    }
  });
}

std::string NativeAudioCapture::report() const {
  using nlohmann::json;
  auto pair = [](std::int64_t computer, std::int64_t microphone) { return json::array({computer, microphone}); };
  json object;  // nlohmann's object keeps its keys sorted, as the report requires
  object["schema"] = "talvo.desktop.capture.v1";
  object["startedAt"] = formatInternetDateTime(startedAt_);
  object["sampleRate"] = CaptureTimeline::rate;
  object["channels"] = 1;
  object["timelineFrames"] = timeline_->cursor();
  object["writtenFrames"] = writer_ ? writer_->frames() : 0;
  object["deliveredFrames"] =
      pair(timeline_->delivered(CaptureSource::computer), timeline_->delivered(CaptureSource::microphone));
  object["missingFrames"] =
      pair(timeline_->missing(CaptureSource::computer), timeline_->missing(CaptureSource::microphone));
  object["lateFrames"] = pair(timeline_->late(CaptureSource::computer), timeline_->late(CaptureSource::microphone));
  object["systemAudioProven"] = false;
  object["physicalAcceptance"] = "UNVERIFIED";
  object["terminalFailure"] = terminalFailure_;
  object["failure"] = firstFailure_ ? json(*firstFailure_) : json(nullptr);
  object["writeFailed"] = writeFailed_;
  {
    // Named for the microphone, but a backlog of either source drops audio alike.
    std::lock_guard lock(pendingLock_);
    object["microphoneBackpressure"] = overflowReported_ || computerOverflowReported_;
  }
  if (captureEnd_) {
    // Rounded to the microsecond: the difference of two clock readings carries float noise
    // ("21600.000000000004") that means nothing.
    object["interruptedAtSeconds"] = std::round((*captureEnd_ - startSeconds_) * 1e6) / 1e6;
  } else {
    object["interruptedAtSeconds"] = nullptr;
  }
  return object.dump();
}

}  // namespace talvo
