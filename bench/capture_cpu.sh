#!/usr/bin/env bash
# CPU and memory of recording the computer's sound and the microphone, side by side in one run:
#   talvo-capture          the program's capture engine (two libpulse streams, aligned mix, WAV journal)
#                          with the microphone's echo cancellation, as the program records
#   talvo-capture, no AEC  the same with TALVO_CAPTURE_ECHO_CANCELLATION=0
#   module-echo-cancel     the sound server's own echo canceller (WebRTC, gain control off) on the
#                          same sound: its source recorded by parecord while the run lasts, then the
#                          same length with parecord on the plain microphone; the server's CPU
#                          difference between the two halves is the module's cost
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

# The sound server's processes (PulseAudio, or PipeWire with its pulse server) and their CPU
# seconds so far.
if pactl info | grep -q "^Server Name: .*PipeWire"; then
  server_pids=$(cat "$TALVO_PW_DIR"/pids/*.pid 2>/dev/null || true)
else
  server_pids=$(cat "$TALVO_ENV_DIR/pids/pulseaudio.pid" 2>/dev/null || true)
fi
server_cpu() {
  local total=0 pid
  for pid in $server_pids; do
    [ -r "/proc/$pid/stat" ] || continue
    total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
  done
  awk -v t="$total" -v h="$(getconf CLK_TCK)" 'BEGIN{printf "%.3f", t / h}'
}
default_source=$(pactl info | sed -n 's/^Default Source: //p')
default_sink=$(pactl info | sed -n 's/^Default Sink: //p')
ec_module=$(pactl load-module module-echo-cancel source_name=talvo_bench_ec sink_name=talvo_bench_ec_sink \
  source_master="$default_source" sink_master="$default_sink" aec_method=webrtc \
  'aec_args="analog_gain_control=0 digital_gain_control=0"' use_master_format=1)
pids+=()
unload_ec() { pactl unload-module "$ec_module" 2>/dev/null || true; }
trap 'unload_ec; cleanup' EXIT
# The far end's tone goes through the canceller's sink (on to the default output), as it would
# for a call played through it.
paplay -d talvo_bench_ec_sink "$work/a.wav" & pids+=($!)
sleep 0.5

mkdir -m 700 "$work/talvo" "$work/talvo-off"
server_start=$(server_cpu)
timed ec timeout -s INT "$seconds" parecord --latency-msec=100 -d talvo_bench_ec --rate=16000 --channels=1 \
  --format=s16le --file-format=wav "$work/ec.wav" & ec=$!
timed talvo "$capture" "$seconds" "$work/talvo" & talvo=$!
TALVO_CAPTURE_ECHO_CANCELLATION=0 timed talvo_off "$capture" "$seconds" "$work/talvo-off" & talvo_off=$!
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
wait "$talvo" "$talvo_off" "$ffmpeg" "$p1" "$p2" "$ec" || true
server_with_ec=$(awk -v a="$(server_cpu)" -v b="$server_start" 'BEGIN{printf "%.3f", a - b}')
# The second half: the same, with the plain microphone recorded instead of the canceller's source.
server_start=$(server_cpu)
timed plain timeout -s INT "$seconds" parecord --latency-msec=100 -d "$default_source" --rate=16000 --channels=1 \
  --format=s16le --file-format=wav "$work/plain.wav" & plain=$!
timed talvo2 "$capture" "$seconds" "$work/talvo" & talvo2=$!
TALVO_CAPTURE_ECHO_CANCELLATION=0 timed talvo_off2 "$capture" "$seconds" "$work/talvo-off" & talvo_off2=$!
timeout -s INT "$seconds" ffmpeg -nostdin -hide_banner -loglevel error -f pulse -fragment_size 19200 -i "$monitor" \
  -f pulse -fragment_size 19200 -i @DEFAULT_SOURCE@ -filter_complex "amix=inputs=2:duration=shortest" \
  -ar 16000 -ac 1 -c:a pcm_s16le -t "$seconds" -y "$work/ffmpeg2.wav" >/dev/null 2>&1 & ffmpeg2=$!
timeout -s INT "$seconds" parecord --latency-msec=100 -d "$monitor" --rate=16000 --channels=1 --format=s16le \
  --file-format=wav "$work/monitor2.wav" & p3=$!
wait "$plain" "$talvo2" "$talvo_off2" "$ffmpeg2" "$p3" || true
server_without_ec=$(awk -v a="$(server_cpu)" -v b="$server_start" 'BEGIN{printf "%.3f", a - b}')
timed sox sox -m "$work/monitor.wav" "$work/microphone.wav" "$work/parecord-mix.wav"

# /usr/bin/time puts "Command exited with non-zero status" first when timeout ends a recording
cpu() { tail -n 1 "$work/$1.time" | awk '{printf "%.3f", $1 + $2}'; }
rss() { tail -n 1 "$work/$1.time" | awk '{print $3}'; }
per_minute() { awk -v c="$1" -v s="$seconds" 'BEGIN{printf "%.3f", c * 60 / s}'; }
talvo_cpu=$(cpu talvo)
talvo_off_cpu=$(cpu talvo_off)
ec_cpu=$(awk -v a="$server_with_ec" -v b="$server_without_ec" 'BEGIN{printf "%.3f", a - b}')
ffmpeg_cpu=$(cpu ffmpeg)
parec_cpu=$(awk -v a="$(cpu parecord1)" -v b="$(cpu parecord2)" -v c="$(cpu sox)" 'BEGIN{printf "%.3f", a + b + c}')
echo "server: $(pactl info | sed -n 's/^Server Name: //p'); recording: $seconds s; CPU seconds per minute of recording (user+sys); max RSS"
printf "  talvo-capture          %s  (%s s)  %s KB\n" "$(per_minute "$talvo_cpu")" "$talvo_cpu" "$(rss talvo)"
printf "  talvo-capture, no AEC  %s  (%s s)  %s KB\n" "$(per_minute "$talvo_off_cpu")" "$talvo_off_cpu" "$(rss talvo_off)"
printf "  ffmpeg amix            %s  (%s s)  %s KB\n" "$(per_minute "$ffmpeg_cpu")" "$ffmpeg_cpu" "$(rss ffmpeg)"
printf "  module-echo-cancel     %s  (server %s s with it, %s s without)\n" "$(per_minute "$ec_cpu")" \
  "$server_with_ec" "$server_without_ec"
awk -v t="$talvo_cpu" -v o="$talvo_off_cpu" -v e="$ec_cpu" \
  'BEGIN{printf "  echo cancellation in talvo-capture: %.3f s (target <= module-echo-cancel: %.3f s)\n", t - o, e}'
printf "  2× parecord + sox -m   %s  (%s s)\n" "$(per_minute "$parec_cpu")" "$parec_cpu"
awk -v t="$talvo_cpu" -v f="$ffmpeg_cpu" -v p="$parec_cpu" \
  'BEGIN{printf "  talvo/ffmpeg = %.2f (target <= 0.40), talvo/parecord = %.2f (target <= 1.00)\n", t/f, t/p}'
echo "talvo-capture report: $(sed -n 2p "$work/talvo.out")"
if [ -s "$rss_log" ]; then
  echo "talvo-capture RSS (s KB): $(tr '\n' ';' <"$rss_log")"
fi
