#!/usr/bin/env bash
# Installs what is missing, builds and starts the viewer, tilvara-viewer: it finds senders on the local network
# by DNS-SD; --connect ADDRESS connects to a typed address at once. Closing the window, Ctrl+C or SIGTERM
# stops it and tells the sender.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target tilvara-viewer
exec build/receiver/player/program/tilvara-viewer "$@"
