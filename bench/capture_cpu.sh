#!/usr/bin/env bash
# CPU and memory of recording the computer's sound and the microphone, side by side in one run:
#   talvo-capture          the program's capture engine (two libpulse streams, aligned mix, WAV journal)
#   ffmpeg                 two pulse inputs mixed with amix to 16 kHz mono 16-bit WAV
#   parecord ×2 + sox -m   two plain recordings, mixed afterwards (no alignment, no crash safety)
# All three record the same sources at the same time while tones play into both. CPU is user +
# system seconds of each process, scaled to one minute of recording; the server's own
# resampling is not counted. talvo-capture's resident memory is sampled every 10 s.
# The other recorders name the default output's monitor (PipeWire's server does not know
# @DEFAULT_MONITOR@) and ask for 0.1 s fragments like talvo-capture (PipeWire otherwise hands
# out 2 s blocks, which costs less and is not what a live recorder can use).
#
#   scripts/with-desktop-env bench/capture_cpu.sh [SECONDS] [BUILD_DIR]     (defaults: 60, build)
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build}
capture=$build/app/tools/talvo-capture
[ -x "$capture" ] || { echo "build talvo-capture first (cmake --build build --target talvo-capture)" >&2; exit 2; }
for tool in ffmpeg parecord sox paplay pactl; do
  command -v $tool >/dev/null || { echo "$tool is missing" >&2; exit 2; }
done
pactl info >/dev/null || { echo "no sound server (run through scripts/with-desktop-env)" >&2; exit 2; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Tones for the whole run (plus margin) into the default output and the virtual microphone.
sox -q -n -r 48000 -c 2 -b 16 "$work/a.wav" synth $((seconds + 10)) sine 440 gain -6
sox -q -n -r 48000 -c 2 -b 16 "$work/b.wav" synth $((seconds + 10)) sine 1000 gain -6
paplay -d "${TALVO_TEST_SPEAKERS_SINK:-speakers}" "$work/a.wav" & pids+=($!)
paplay -d "${TALVO_TEST_MIC_FEED_SINK:-micfeed}" "$work/b.wav" & pids+=($!)
sleep 0.5

timed() {  # timed NAME COMMAND... : CPU seconds (user sys) and max RSS (KB) into $work/NAME.time
  local name=$1; shift
  /usr/bin/time -f "%U %S %M" -o "$work/$name.time" "$@" >"$work/$name.out" 2>"$work/$name.err"
}

mkdir -m 700 "$work/talvo"
timed talvo "$capture" "$seconds" "$work/talvo" & talvo=$!
monitor=$(pactl info | sed -n 's/^Default Sink: //p').monitor
timed ffmpeg ffmpeg -nostdin -hide_banner -loglevel error -f pulse -fragment_size 19200 -i "$monitor" \
  -f pulse -fragment_size 19200 -i @DEFAULT_SOURCE@ \
  -filter_complex "amix=inputs=2:duration=shortest" -ar 16000 -ac 1 -c:a pcm_s16le -t "$seconds" -y "$work/ffmpeg.wav" & ffmpeg=$!
timed parecord1 timeout -s INT "$seconds" parecord --latency-msec=100 -d "$monitor" --rate=16000 --channels=1 --format=s16le \
  --file-format=wav "$work/monitor.wav" & p1=$!
timed parecord2 timeout -s INT "$seconds" parecord --latency-msec=100 -d @DEFAULT_SOURCE@ --rate=16000 --channels=1 --format=s16le \
  --file-format=wav "$work/microphone.wav" & p2=$!

# talvo-capture's resident memory over the run
rss_log=$work/rss.txt
sleep 1
capture_pid=$(pgrep -n -f "^$capture " || true)
elapsed=1
while kill -0 "$talvo" 2>/dev/null; do
  if [ -n "$capture_pid" ] && [ -r "/proc/$capture_pid/status" ]; then
    echo "$elapsed $(awk '/VmRSS/{print $2}' "/proc/$capture_pid/status")" >>"$rss_log"
  fi
  sleep 10; elapsed=$((elapsed + 10))
done
wait "$talvo" "$ffmpeg" "$p1" "$p2" || true
timed sox sox -m "$work/monitor.wav" "$work/microphone.wav" "$work/parecord-mix.wav"

# /usr/bin/time puts "Command exited with non-zero status" first when timeout ends a recording
cpu() { tail -n 1 "$work/$1.time" | awk '{printf "%.3f", $1 + $2}'; }
rss() { tail -n 1 "$work/$1.time" | awk '{print $3}'; }
per_minute() { awk -v c="$1" -v s="$seconds" 'BEGIN{printf "%.3f", c * 60 / s}'; }
talvo_cpu=$(cpu talvo)
ffmpeg_cpu=$(cpu ffmpeg)
parec_cpu=$(awk -v a="$(cpu parecord1)" -v b="$(cpu parecord2)" -v c="$(cpu sox)" 'BEGIN{printf "%.3f", a + b + c}')
echo "server: $(pactl info | sed -n 's/^Server Name: //p'); recording: $seconds s; CPU seconds per minute of recording (user+sys); max RSS"
printf "  talvo-capture          %s  (%s s)  %s KB\n" "$(per_minute "$talvo_cpu")" "$talvo_cpu" "$(rss talvo)"
printf "  ffmpeg amix            %s  (%s s)  %s KB\n" "$(per_minute "$ffmpeg_cpu")" "$ffmpeg_cpu" "$(rss ffmpeg)"
printf "  2× parecord + sox -m   %s  (%s s)\n" "$(per_minute "$parec_cpu")" "$parec_cpu"
awk -v t="$talvo_cpu" -v f="$ffmpeg_cpu" -v p="$parec_cpu" \
  'BEGIN{printf "  talvo/ffmpeg = %.2f (target <= 0.40), talvo/parecord = %.2f (target <= 1.00)\n", t/f, t/p}'
echo "talvo-capture report: $(sed -n 2p "$work/talvo.out")"
if [ -s "$rss_log" ]; then
  echo "talvo-capture RSS (s KB): $(tr '\n' ';' <"$rss_log")"
fi
