#!/usr/bin/env bash
# Glass to glass of the viewer program beside the headless receiver, both watching one sender on loopback in
# the same run: for 1280x720 and 1920x1080 at 30 and 60 frames/s the sender shows its test picture, the
# viewer (in a virtual X display, software scene graph) reads the time code of each picture its window
# swapped in, the receiver that of each picture it hands to its renderer. After a warm-up of 4 s, the
# per-second medians and 95th percentiles are averaged over the next seconds; the viewer's CPU time per shown
# picture comes with them. Usage: scripts/bench-viewer.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-12}
sender=$build/tools/kelvora-sender
receiver=$build/tools/kelvora-receiver
viewer=$build/receiver/player/program/tilvara-viewer
for program in "$sender" "$receiver" "$viewer"; do
  [[ -x $program ]] || { echo "missing $program: build first" >&2; exit 1; }
done
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (package xvfb)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Mean of the numbers on stdin ("–" when there are none).
mean() { awk '{ s += $1; n++ } END { if (n) printf "%.1f", s / n; else printf "–" }'; }

printf '| size | frames/s | viewer: median | viewer: p95 | receiver: median | receiver: p95 | p95 difference | frame interval | viewer CPU per picture |\n'
printf '|---|---|---|---|---|---|---|---|---|\n'
for size in 1280x720 1920x1080; do
  for fps in 30 60; do
    width=${size%x*}; height=${size#*x}
    run=$work/$size-$fps; mkdir -p "$run/home"
    printf '{"senderName":"Messung","useTestPattern":true,"controlPort":0,"autoResolution":false,"resolution":{"width":%d,"height":%d},"frameRate":%d,"autoFrameRate":false,"proxyStream":false,"enabledEngines":["tcp","quic"]}' \
      "$width" "$height" "$fps" > "$run/settings.json"
    HOME=$run/home XDG_CONFIG_HOME=$run/home/config XDG_DATA_HOME=$run/home/data \
      setsid "$sender" --settings "$run/settings.json" > "$run/sender.log" 2>&1 &
    pids+=($!)
    port=""
    for _ in $(seq 1 300); do
      port=$(sed -n 's/.*Sender bereit auf Port \([0-9]*\).*/\1/p' "$run/sender.log" | head -n 1)
      [[ -n $port ]] && break
      sleep 0.1
    done
    [[ -n $port ]] || { echo "sender did not start: $(cat "$run/sender.log")" >&2; exit 1; }

    HOME=$run/home XDG_CONFIG_HOME=$run/home/config XDG_DATA_HOME=$run/home/data QT_QUICK_BACKEND=software \
      setsid xvfb-run -a -s "-screen 0 1920x1200x24" "$viewer" --measure-latency --connect "127.0.0.1:$port" \
      > "$run/viewer.log" 2>&1 &
    pids+=($!)
    "$receiver" --seconds $((seconds + 4)) "127.0.0.1:$port" > "$run/receiver.log" 2>&1 || true
    pkill -TERM -x tilvara-viewer -g "${pids[-1]}" 2>/dev/null || true
    sleep 1
    kill -TERM -- "-${pids[-1]}" "-${pids[-2]}" 2>/dev/null || true
    wait "${pids[-1]}" "${pids[-2]}" 2>/dev/null || true

    viewer_median=$(grep -o 'shown-median-ms=[0-9.]*' "$run/viewer.log" | tail -n "$seconds" | cut -d= -f2 | mean)
    viewer_p95=$(grep -o 'shown-p95-ms=[0-9.]*' "$run/viewer.log" | tail -n "$seconds" | cut -d= -f2 | mean)
    viewer_cpu=$(grep -o 'cpu-ms-per-frame=[0-9.]*' "$run/viewer.log" | tail -n "$seconds" | cut -d= -f2 | mean)
    receiver_median=$(sed -n 's/.*Zeitcode \([0-9.]*\) ms (p95 \([0-9.]*\)).*/\1/p' "$run/receiver.log" | tail -n "$seconds" | mean)
    receiver_p95=$(sed -n 's/.*Zeitcode \([0-9.]*\) ms (p95 \([0-9.]*\)).*/\2/p' "$run/receiver.log" | tail -n "$seconds" | mean)
    difference=$(awk -v a="$viewer_p95" -v b="$receiver_p95" 'BEGIN { if (a == "–" || b == "–") print "–"; else printf "%.1f", a - b }')
    interval=$(awk -v f="$fps" 'BEGIN { printf "%.1f", 1000 / f }')
    printf '| %s | %s | %s ms | %s ms | %s ms | %s ms | %s ms | %s ms | %s ms |\n' "$size" "$fps" "$viewer_median" \
      "$viewer_p95" "$receiver_median" "$receiver_p95" "$difference" "$interval" "$viewer_cpu"
  done
done
