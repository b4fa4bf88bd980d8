#pragma once
// The echo measurement shared by the sound test on the real server and the replay of recorded
// canceller input: the played schedule, the signals, and the figures taken from two recordings
// of the same sound (with the canceller and without).
//
// How it is measured, from the two recordings (16 kHz mono; each holds half the computer's sound
// plus half the microphone's):
//  - Timing comes from envelopes, never from single samples: the two sources' capture jitter is
//    about a frame. Powers are taken over 1 ms windows; each recording's first burst onset (the
//    first window above a tenth of the burst level) anchors the schedule below, so the on and off
//    recordings line up to about a millisecond.
//  - The echo tail is what follows a burst once the burst itself has ended: the windows where the
//    recording without the canceller lies between 25 dB and 4 dB under the burst (the echo alone),
//    less 3 ms at each edge. Its level in the recording with the canceller, against the burst's
//    level, is the figure: tails of bursts starting in the far end's first second, and tails of
//    bursts from 2 s on (adapted).
//  - The near end talking alone: the power of the windows where the speech is active (within
//    30 dB of its loudest window), with the canceller against without.
//  - Both talking: the noise bursts are the same samples every time, so the far end's part of a
//    burst window is known from the far-end-only bursts; the near end's power in the double-talk
//    bursts is the windows' power less that (powers of uncorrelated signals add). With the
//    canceller against without.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/recording/echo_canceller.h"
#include "testing/temp_directory.h"

namespace talvo::testing {

// The played schedule, in seconds from the start of the played signals.
inline constexpr double echoPlayRate = 48000;
inline constexpr double echoSignalSeconds = 12.6;

// The far end (identical noise bursts) and the near end (one speech clip, twice), at 48 kHz.
struct EchoSignals {
  std::vector<float> farEnd;
  std::vector<float> nearEnd;
};
// Made with sox and espeak-ng; throws when they fail.
EchoSignals makeEchoSignals(const TempDirectory& directory);

struct EchoFigures {
  double tailFirstSecond = 0;  // echo tail under the burst, dB, bursts starting in the first second
  double tailAdapted = 0;      // the same from 2 s on
  double tailToday = 0;        // the same without the canceller (from 2 s on)
  double nearAlone = 0;        // near end with the canceller minus without, dB
  double doubleTalk = 0;       // the same while both talk
};
// From the recordings (16 kHz) with the canceller and without; throws when the schedule is not
// found in them.
EchoFigures measureEcho(const std::vector<std::int16_t>& on, const std::vector<std::int16_t>& off);

// A canceller that writes down every call the timeline makes (previews and frames to process,
// in order) before passing it on, so a real recording's canceller input can be replayed later
// (replayEcho): tuning then compares settings on the same sound, free of the machine's load.
// The file is written when the canceller is destroyed: per call one float (1 for a preview, 0
// for a frame to process), then the frame's reference and microphone.
class RecordingEchoCanceller final : public EchoCanceller {
 public:
  RecordingEchoCanceller(std::unique_ptr<EchoCanceller> inner, std::string path);
  ~RecordingEchoCanceller() override;
  std::size_t latency() const noexcept override { return inner_->latency(); }
  void process(std::span<const float> reference, std::span<float> microphone) noexcept override;
  void preview(std::span<const float> reference, std::span<const float> microphone) noexcept override;

 private:
  void note(bool isPreview, std::span<const float> reference, std::span<const float> microphone) noexcept;
  std::unique_ptr<EchoCanceller> inner_;
  std::string path_;
  std::vector<float> calls_;
};

// The mix the engine would have written from a file of RecordingEchoCanceller without the
// canceller (each source at half gain), from its first frame processed on.
std::vector<std::int16_t> uncancelledMix(const std::string& path);

// Replays a file of RecordingEchoCanceller through `canceller` and measures the two mixes the
// engine would have written (each source at half gain): with its output and with the
// microphone as it came.
EchoFigures replayEcho(const std::string& path, EchoCanceller& canceller);

// When the delay finder, shown the file's frames as the canceller was shown them, first found the
// echo, against the far end's first sound and how far processing had got: for a run whose first
// second failed, tells an echo found late from one found in time and not taken out.
std::string describeDelayFinding(const std::string& path);

}  // namespace talvo::testing
