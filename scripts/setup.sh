#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
# Installs what the build needs (once), then configures and builds.
# Usage: scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
# EXTRA_PACKAGES names further Debian packages a caller needs (the fuzzers' clang runtime...).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$here/build"}
shift || true

packages=(cmake ninja-build make g++ qt6-base-dev qt6-serialport-dev libgl-dev
          fonts-liberation xvfb xauth x11-utils imagemagick dpkg-dev file weston qt6-wayland
          gcc-avr avr-libc binutils-avr avrdude simavr libsimavr-dev libsimavrparts1 libelf-dev xdotool
          lintian reuse appstream desktop-file-utils dbus
          mosquitto mosquitto-clients libmosquitto-dev libssl-dev pkg-config openssl libsystemd-dev
          ${EXTRA_PACKAGES:-})
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
cmake --build "$build" --parallel "$(nproc)"
