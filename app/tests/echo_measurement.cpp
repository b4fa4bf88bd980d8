#include "app/tests/echo_measurement.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "app/tests/capture_fakes.h"
#include "core/recording/echo_delay_estimator.h"

namespace talvo::testing {
namespace {

constexpr double playRate = echoPlayRate;
constexpr std::size_t window = 16;  // 1 ms at 16 kHz

constexpr double firstBurst = 0.5;
constexpr double burstSeconds = 0.3;
constexpr double burstPeriod = 0.6;
constexpr int farOnlyBursts = 10;     // 0.5 .. 6.2 s
constexpr double nearAloneAt = 6.8;   // speech alone
constexpr double doubleTalkAt = 9.8;  // speech again, with bursts
constexpr int doubleTalkBursts = 4;   // 9.8 .. 11.9 s
constexpr double nearSeconds = 2.4;   // each speech clip
constexpr double signalSeconds = echoSignalSeconds;

double burstStart(int k) {
  return k < farOnlyBursts ? firstBurst + k * burstPeriod : doubleTalkAt + (k - farOnlyBursts) * burstPeriod;
}

double dB(double power) { return 10 * std::log10(std::max(power, 1e-30)); }

std::vector<float> readRawFloats(const std::string& path) {
  const std::string bytes = testing::readWholeFile(path);
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

}  // namespace

EchoSignals makeEchoSignals(const TempDirectory& directory) {
  const std::string burst = directory.file("burst.f32");
  const std::string speech = directory.file("speech.wav");
  const std::string speechRaw = directory.file("speech.f32");
  // sox -R: the same noise every run. About -20 dBFS RMS, like the speech below.
  if (!run("sox -R -q -n -r 48000 -c 1 -e floating-point -b 32 -t raw '" + burst + "' synth " +
           std::to_string(burstSeconds) + " whitenoise gain -15") ||
      !run("espeak-ng -v ru -s 170 -w '" + speech +
           "' 'Добрый день. Давайте обсудим план на следующую неделю.' >/dev/null 2>&1") ||
      !run("sox -q '" + speech + "' -r 48000 -c 1 -e floating-point -b 32 -t raw '" + speechRaw + "' norm -6 trim 0 " +
           std::to_string(nearSeconds))) {
    throw std::runtime_error("sox or espeak-ng failed");
  }
  const std::vector<float> noise = readRawFloats(burst);
  const std::vector<float> clip = readRawFloats(speechRaw);
  EchoSignals signals;
  const auto length = static_cast<std::size_t>(signalSeconds * playRate);
  signals.farEnd.assign(length, 0.0f);
  signals.nearEnd.assign(length, 0.0f);
  auto place = [](std::vector<float>& into, const std::vector<float>& what, double at) {
    const auto first = static_cast<std::size_t>(at * playRate);
    for (std::size_t i = 0; i < what.size() && first + i < into.size(); ++i) into[first + i] = what[i];
  };
  for (int k = 0; k < farOnlyBursts + doubleTalkBursts; ++k) place(signals.farEnd, noise, burstStart(k));
  place(signals.nearEnd, clip, nearAloneAt);
  place(signals.nearEnd, clip, doubleTalkAt);
  return signals;
}

namespace {

std::vector<double> windowPowers(const std::vector<std::int16_t>& samples) {
  std::vector<double> powers(samples.size() / window);
  for (std::size_t w = 0; w < powers.size(); ++w) {
    double sum = 0;
    for (std::size_t i = 0; i < window; ++i) {
      const double v = samples[w * window + i] / 32768.0;
      sum += v * v;
    }
    powers[w] = sum / window;
  }
  return powers;
}

// One recording's window powers, with the window of the first burst's onset.
struct Envelope {
  std::vector<double> power;
  std::size_t onset = 0;
  // The window that played-schedule time `seconds` falls in.
  std::size_t at(double seconds) const {
    return onset + static_cast<std::size_t>(std::lround((seconds - firstBurst) * 1000));
  }
  double mean(const std::vector<std::size_t>& windows) const {
    double sum = 0;
    std::size_t count = 0;
    for (std::size_t w : windows) {
      if (w < power.size()) {
        sum += power[w];
        ++count;
      }
    }
    return count == 0 ? 0 : sum / static_cast<double>(count);
  }
};

Envelope envelope(const std::vector<std::int16_t>& samples, double burstLevel) {
  Envelope e;
  e.power = windowPowers(samples);
  const auto found = std::find_if(e.power.begin(), e.power.end(), [&](double p) { return p > 0.1 * burstLevel; });
  if (found == e.power.end()) throw std::runtime_error("no burst found in the recording");
  e.onset = static_cast<std::size_t>(found - e.power.begin());
  return e;
}

// The interior of burst k (10 ms in from each edge).
std::vector<std::size_t> burstWindows(const Envelope& e, int k) {
  std::vector<std::size_t> windows;
  for (std::size_t w = e.at(burstStart(k) + 0.01); w < e.at(burstStart(k) + burstSeconds - 0.01); ++w) {
    windows.push_back(w);
  }
  return windows;
}

}  // namespace

EchoFigures measureEcho(const std::vector<std::int16_t>& on, const std::vector<std::int16_t>& off) {
  // The burst level: the loudest 1 ms windows of the recording without the canceller are
  // bursts (with or without speech); their median is the bursts' level to a dB or so.
  std::vector<double> sorted = windowPowers(off);
  std::sort(sorted.begin(), sorted.end());
  const double roughBurst = sorted[sorted.size() - sorted.size() / 10];
  const Envelope withCanceller = envelope(on, roughBurst);
  const Envelope today = envelope(off, roughBurst);

  std::vector<std::size_t> farOnly;  // adapted far-end-only burst interiors
  for (int k = 0; k < farOnlyBursts; ++k) {
    if (burstStart(k) >= firstBurst + 2) {
      for (std::size_t w : burstWindows(today, k)) farOnly.push_back(w);
    }
  }
  const double burst = today.mean(farOnly);

  // Echo-only windows after each far-end-only burst, in the recording without the canceller.
  auto tails = [&](bool adapted) {
    std::vector<std::size_t> windows;
    for (int k = 0; k < farOnlyBursts; ++k) {
      const double start = burstStart(k);
      if (adapted ? start < firstBurst + 2 : start >= firstBurst + 1) continue;
      std::vector<std::size_t> run;
      const std::size_t end = today.at(start + burstSeconds);
      for (std::size_t w = end - 20; w < today.at(start + burstPeriod) && w < today.power.size(); ++w) {
        const double level = today.power[w];
        const bool echo = level < burst * std::pow(10, -0.4) && level > burst * std::pow(10, -2.5);
        if (echo) {
          run.push_back(w);
        } else if (!run.empty() && level <= burst * std::pow(10, -2.5)) {
          break;  // the echo has ended
        }
      }
      for (std::size_t i = 3; i + 3 < run.size(); ++i) windows.push_back(run[i]);
    }
    if (windows.empty()) throw std::runtime_error("no echo tail found in the recording without the canceller");
    return windows;
  };
  const std::size_t shift = withCanceller.onset - std::min(withCanceller.onset, today.onset);
  const std::size_t back = today.onset - std::min(withCanceller.onset, today.onset);
  auto inOn = [&](std::vector<std::size_t> windows) {
    for (std::size_t& w : windows) w = w + shift - back;
    return windows;
  };

  EchoFigures figures;
  const std::vector<std::size_t> early = tails(false);
  const std::vector<std::size_t> late = tails(true);
  figures.tailFirstSecond = dB(burst) - dB(withCanceller.mean(inOn(early)));
  figures.tailAdapted = dB(burst) - dB(withCanceller.mean(inOn(late)));
  figures.tailToday = dB(burst) - dB(today.mean(late));

  // The near end alone: its active windows.
  std::vector<std::size_t> speech;
  double loudest = 0;
  for (std::size_t w = today.at(nearAloneAt); w < today.at(nearAloneAt + nearSeconds); ++w) {
    if (w < today.power.size()) loudest = std::max(loudest, today.power[w]);
  }
  for (std::size_t w = today.at(nearAloneAt); w < today.at(nearAloneAt + nearSeconds); ++w) {
    if (w < today.power.size() && today.power[w] > loudest * 1e-3) speech.push_back(w);
  }
  figures.nearAlone = dB(withCanceller.mean(inOn(speech))) - dB(today.mean(speech));

  // Both talking: the double-talk burst interiors less the far end's known part.
  std::vector<std::size_t> doubleTalk;
  for (int k = farOnlyBursts; k < farOnlyBursts + doubleTalkBursts; ++k) {
    for (std::size_t w : burstWindows(today, k)) doubleTalk.push_back(w);
  }
  const double nearToday = today.mean(doubleTalk) - burst;
  const double nearWith = withCanceller.mean(inOn(doubleTalk)) - withCanceller.mean(inOn(farOnly));
  if (nearToday <= burst * 0.05) throw std::runtime_error("the near end is too quiet in double talk to be measured");
  figures.doubleTalk = dB(std::max(nearWith, 1e-12)) - dB(nearToday);
  return figures;
}

RecordingEchoCanceller::RecordingEchoCanceller(std::unique_ptr<EchoCanceller> inner, std::string path)
    : inner_(std::move(inner)), path_(std::move(path)) {
  calls_.reserve(static_cast<std::size_t>(40 * 200 * (2 * frameLength + 1)));  // 40 s without reallocation
}

RecordingEchoCanceller::~RecordingEchoCanceller() {
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(calls_.data()), static_cast<std::streamsize>(calls_.size() * sizeof(float)));
}

void RecordingEchoCanceller::note(bool isPreview, std::span<const float> reference,
                                  std::span<const float> microphone) noexcept {
  try {
    calls_.push_back(isPreview ? 1.0f : 0.0f);
    calls_.insert(calls_.end(), reference.begin(), reference.end());
    calls_.insert(calls_.end(), microphone.begin(), microphone.end());
  } catch (...) {
  }
}

void RecordingEchoCanceller::process(std::span<const float> reference, std::span<float> microphone) noexcept {
  note(false, reference, microphone);
  inner_->process(reference, microphone);
}

void RecordingEchoCanceller::preview(std::span<const float> reference, std::span<const float> microphone) noexcept {
  note(true, reference, microphone);
  inner_->preview(reference, microphone);
}

namespace {

// The calls of a RecordingEchoCanceller file, each handed to `call(isPreview, reference, microphone)`.
template <typename Call>
void forEachCall(const std::string& path, Call call) {
  constexpr std::size_t frame = EchoCanceller::frameLength;
  const std::vector<float> calls = readRawFloats(path);
  const std::size_t record = 2 * frame + 1;
  if (calls.empty() || calls.size() % record != 0) throw std::runtime_error("not a canceller recording: " + path);
  for (std::size_t at = 0; at < calls.size(); at += record) {
    call(calls[at] != 0.0f, std::span<const float>(calls.data() + at + 1, frame),
         std::span<const float>(calls.data() + at + 1 + frame, frame));
  }
}

std::int16_t sample(float v) { return static_cast<std::int16_t>(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767.0f)); }

}  // namespace

std::vector<std::int16_t> uncancelledMix(const std::string& path) {
  std::vector<std::int16_t> mix;
  forEachCall(path, [&](bool isPreview, std::span<const float> r, std::span<const float> m) {
    if (isPreview) return;
    for (std::size_t i = 0; i < r.size(); ++i) mix.push_back(sample(0.5f * r[i] + 0.5f * m[i]));
  });
  return mix;
}

EchoFigures replayEcho(const std::string& path, EchoCanceller& canceller) {
  std::vector<float> reference;
  std::vector<float> microphone;
  std::vector<float> cancelled;
  forEachCall(path, [&](bool isPreview, std::span<const float> r, std::span<const float> m) {
    if (isPreview) {
      canceller.preview(r, m);
      return;
    }
    std::vector<float> out(m.begin(), m.end());
    canceller.process(r, out);
    reference.insert(reference.end(), r.begin(), r.end());
    microphone.insert(microphone.end(), m.begin(), m.end());
    cancelled.insert(cancelled.end(), out.begin(), out.end());
  });
  // The canceller's output belongs latency() positions back.
  const std::size_t latency = canceller.latency();
  std::vector<std::int16_t> on;
  std::vector<std::int16_t> off;
  for (std::size_t i = 0; i + latency < reference.size(); ++i) {
    on.push_back(sample(0.5f * reference[i] + 0.5f * cancelled[i + latency]));
    off.push_back(sample(0.5f * reference[i] + 0.5f * microphone[i]));
  }
  return measureEcho(on, off);
}

std::string describeDelayFinding(const std::string& path) {
  EchoDelayEstimator finder;
  std::size_t previewed = 0;
  std::size_t processed = 0;
  std::optional<std::size_t> firstSound;
  std::optional<int> delay;
  std::size_t foundPreviewed = 0;
  std::size_t foundProcessed = 0;
  forEachCall(path, [&](bool isPreview, std::span<const float> r, std::span<const float> m) {
    if (!isPreview) {
      processed += r.size();
      return;
    }
    for (std::size_t i = 0; i < r.size() && !firstSound; ++i) {
      if (std::isfinite(r[i]) && std::abs(r[i]) > 0.01f) firstSound = previewed + i;
    }
    finder.add(r, m);
    previewed += r.size();
    if (!delay && (delay = finder.delayMilliseconds())) {
      foundPreviewed = previewed;
      foundProcessed = processed;
    }
  });
  if (!firstSound) return "no far-end sound in the canceller's input";
  const auto seconds = [&](std::size_t at) { return (static_cast<double>(at) - *firstSound) / 16000; };
  if (!delay) return "the delay finder never found the echo";
  char text[200];
  std::snprintf(text, sizeof text,
                "the delay finder found the echo %d ms behind %.2f s after the far end's first sound (processing "
                "then at %.2f s)",
                *delay, seconds(foundPreviewed), seconds(foundProcessed));
  return text;
}

}  // namespace talvo::testing
