#!/usr/bin/env bash
# Resident memory of the headless sender and of one headless receiver watching it on loopback, with long-term
# references on and off in the same run: for 1280x720 at 30, 1920x1080 at 30 and 60 and 2560x1440 at 30
# frames/s the sender shows its test picture (other settings at their defaults), and after SECONDS (14 unless
# given) both programs' resident sizes are read from /proc. Runs in a network namespace of its own with nothing but
# loopback, so no fixed port collides with another sender. Usage:
#
#     scripts/bench-memory.sh [BUILD_DIR] [SECONDS]
#
# Needs root, or unprivileged user namespaces.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-14}
sender=$build/tools/kelvora-sender
receiver=$build/tools/kelvora-receiver
for program in "$sender" "$receiver"; do
  [[ -x $program ]] || { echo "missing $program: build first" >&2; exit 1; }
done

if [ "${KELVORA_MEMORY_NAMESPACE:-}" != inside ]; then
  if [ "$(id -u)" -eq 0 ]; then
    exec env KELVORA_MEMORY_NAMESPACE=inside unshare --net -- "$0" "$build" "$seconds"
  fi
  exec env KELVORA_MEMORY_NAMESPACE=inside unshare --map-root-user --net -- "$0" "$build" "$seconds"
fi
ip link set lo up

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Resident size of a process in MB, "–" once it is gone.
rss() { awk '/^VmRSS:/ { printf "%.0f", $2 / 1024; found = 1 } END { if (!found) printf "–" }' "/proc/$1/status" 2>/dev/null || printf '–'; }

# One run: prints "SENDER_MB RECEIVER_MB LEVELS".
measure() {
  local width=$1 height=$2 fps=$3 ltr=$4
  local run=$work/$width-$fps-$ltr
  mkdir -p "$run/home"
  printf '{"senderName":"Messung","useTestPattern":true,"controlPort":0,"autoResolution":false,"resolution":{"width":%d,"height":%d},"frameRate":%d,"autoFrameRate":false,"longTermReferences":%s,"enabledEngines":["tcp"]}' \
    "$width" "$height" "$fps" "$ltr" > "$run/settings.json"
  HOME=$run/home XDG_CONFIG_HOME=$run/home/config XDG_DATA_HOME=$run/home/data \
    "$sender" --settings "$run/settings.json" > "$run/sender.log" 2>&1 &
  local sender_pid=$!
  pids+=("$sender_pid")
  local port=""
  for _ in $(seq 1 300); do
    port=$(sed -n 's/.*Sender bereit auf Port \([0-9]*\).*/\1/p' "$run/sender.log" | head -n 1)
    [[ -n $port ]] && break
    sleep 0.1
  done
  [[ -n $port ]] || { echo "sender did not start: $(cat "$run/sender.log")" >&2; exit 1; }
  "$receiver" --seconds $((seconds + 2)) "127.0.0.1:$port" > "$run/receiver.log" 2>&1 &
  local receiver_pid=$!
  pids+=("$receiver_pid")
  sleep "$seconds"
  local levels
  # What each tier's sequence parameter set signals, as the sender read it back from its encoder.
  levels=$(sed -n 's/.*libx264 \([0-9x]*\) @ \([0-9]*\) fps: Level \([0-9.]*\), \([0-9]*\) Referenzbilder.*/\1@\2: \3 (\4)/p' \
    "$run/sender.log" | sort -u | paste -sd ',' - | sed 's/,/, /g')
  printf '%s %s %s\n' "$(rss "$sender_pid")" "$(rss "$receiver_pid")" "${levels:-–}"
  wait "$receiver_pid" 2>/dev/null || true
  kill -TERM "$sender_pid" 2>/dev/null || true
  wait "$sender_pid" 2>/dev/null || true
}

# Share above the run without long-term references, in percent.
above() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "–" || b == "–" || b == 0) print "–"; else printf "%+.0f %%", (a - b) * 100 / b }'; }

printf '| size | frames/s | sender, references on | off | more | receiver, references on | off | more | level (reference pictures) of each tier, on |\n'
printf '|---|---|---|---|---|---|---|---|---|\n'
for case in 1280x720x30 1920x1080x30 1920x1080x60 2560x1440x30; do
  IFS=x read -r width height fps <<< "$case"
  read -r sender_on receiver_on levels_on < <(measure "$width" "$height" "$fps" true)
  read -r sender_off receiver_off _ < <(measure "$width" "$height" "$fps" false)
  printf '| %sx%s | %s | %s MB | %s MB | %s | %s MB | %s MB | %s | %s |\n' "$width" "$height" "$fps" \
    "$sender_on" "$sender_off" "$(above "$sender_on" "$sender_off")" \
    "$receiver_on" "$receiver_off" "$(above "$receiver_on" "$receiver_off")" "$levels_on"
done
