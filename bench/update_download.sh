#!/bin/bash
# Download + verification of a 100 MiB release archive from the local fake service, side by side:
#   A  the updater's path (talvo-update-fetch: feed, streamed download, length, SHA-256, Ed25519)
#   B  curl of the same archive followed by sha256sum
# Each is run RUNS times in turn (A B A B …); prints wall seconds and peak resident memory of
# every run, and A's own report of its resident memory growth during the download.
#
#   bench/update_download.sh BUILD-DIR [RUNS]     (BUILD-DIR built with TALVO_WITH_BENCHMARKS=ON,
#                                                  targets talvo-update-fetch and talvo-dev-service)
#   bench/update_download.sh BUILD-DIR --hold     only serve and print the two commands
set -euo pipefail
build=$(cd "${1:?usage: bench/update_download.sh BUILD-DIR [RUNS|--hold]}" && pwd)
runs=${2:-5}
work=$(mktemp -d)
service=""
cleanup() {
  [ -n "$service" ] && kill "$service" 2>/dev/null && wait "$service" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

head -c $((100 << 20)) /dev/urandom > "$work/archive"
mkfifo "$work/in"
"$build/testing/tools/talvo-dev-service" --port 0 --dir "$work/service" < "$work/in" > "$work/out" 2>&1 &
service=$!
exec 3>"$work/in"
wait_for() { for _ in $(seq 300); do grep -q "$1" "$work/out" && return 0; sleep 0.1; done; cat "$work/out" >&2; exit 1; }
wait_for '^update key:'
origin=$(sed -n 's/^origin: //p' "$work/out")
ca=$(sed -n 's/^ca-file: //p' "$work/out")
key=$(sed -n 's/^update key: //p' "$work/out")
echo "publish 1.0.0 $work/archive" >&3
wait_for '^published 1.0.0 at '
url=$(sed -n 's/^published 1.0.0 at //p' "$work/out")

a=("$build/bench/talvo-update-fetch" "$origin" "$ca" "$key" "$work")
b=(sh -c "curl -sS --cacert '$ca' -o '$work/curl.out' '$url' && sha256sum '$work/curl.out'")
if [ "$runs" = "--hold" ]; then
  echo "A: $(printf '%q ' "${a[@]}")"
  echo "B: $(printf '%q ' "${b[@]}")"
  echo "serving; press Enter to stop"
  read -r _
  exit 0
fi
"${a[@]}" > /dev/null  # warm-up: page cache, TLS
for i in $(seq "$runs"); do
  /usr/bin/time -f "A wall %e s, peak RSS %M KiB" "${a[@]}"
  /usr/bin/time -f "B wall %e s, peak RSS %M KiB" "${b[@]}" > /dev/null
  rm -f "$work/curl.out"
done
