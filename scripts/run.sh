#!/usr/bin/env bash
# Installs what is missing, builds and starts the sender: the desktop program tilvara-sender where a display
# is available (DISPLAY or WAYLAND_DISPLAY; on the test picture when it has never run here), otherwise the
# headless sender on the test picture, or on the settings of a JSON file given with --settings FILE. It says
# which one it starts. Ctrl+C (or SIGTERM) stops either; every viewer is told.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  cmake --build build -j "$(nproc)" --target tilvara-sender
  # On a computer where the program has never run, it begins on the test picture, as the headless sender
  # does; stored settings of an earlier run are left as they are.
  defaults="${XDG_CONFIG_HOME:-$HOME/.config}/Kelvora/app.kelvora.sender.defaults.json"
  if [ ! -e "$defaults" ]; then
    mkdir -p "$(dirname "$defaults")"
    (umask 077 && printf '{"SenderSettings.v1": {"useTestPattern": true}}\n' > "$defaults")
    echo "run.sh: first start: the desktop program begins on the test picture (another source is chosen in its window)"
  fi
  echo "run.sh: a display is available, starting the desktop program build/app/shell/program/tilvara-sender"
  exec build/app/shell/program/tilvara-sender "$@"
fi
cmake --build build -j "$(nproc)" --target kelvora-sender
echo "run.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set), starting the headless sender build/tools/kelvora-sender"
exec build/tools/kelvora-sender "$@"
