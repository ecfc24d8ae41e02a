#!/usr/bin/env bash
# Installs what is missing, builds and starts a headless sender: the test picture by default, or the settings
# of a JSON file given with --settings FILE. Ctrl+C (or SIGTERM) stops it and tells every viewer.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target kelvora-sender
exec build/tools/kelvora-sender "$@"
