#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Tilvara Sender needs.
# Idempotent: packages already present are left alone, and the package lists are only refreshed
# when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git clang-format clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libasio-dev nlohmann-json3-dev libspdlog-dev libfmt-dev libsystemd-dev
  uuid-dev libicu-dev
  libavahi-client-dev avahi-daemon avahi-utils dbus iproute2 nftables
  libgnutls28-dev libngtcp2-dev libngtcp2-crypto-gnutls-dev openssl
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libx264-dev
  ffmpeg
  libcairo2-dev libpango1.0-dev fonts-dejavu-core
  libudev-dev
  qt6-base-dev qt6-declarative-dev qt6-svg-dev qt6-qpa-plugins qt6-translations-l10n
  qml6-module-qtqml qml6-module-qtqml-models qml6-module-qtqml-workerscript
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-templates qml6-module-qtquick-window
  xvfb xauth xdotool libx11-dev openbox
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
