#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
# The arm64 package (Raspberry Pi OS 64-bit, Debian 12 for arm64), cross-built on amd64 Debian 12:
# installs what is missing (arm64 libraries through multiarch, the cross compilers), configures
# with cmake/aarch64-linux-gnu.cmake, builds, runs the whole suite under emulation and packs
# build-arm64/vantrelo*_<version>_arm64.deb (the headless part, the window, the board kit),
# which the package test lints, and prints the build's and the suite's times and the sizes.
#
# Debian 12's qemu (7.2) cannot start a child process from a Qt program, and the suite starts
# many (a session bus, a broker, the simulator, the programs themselves). So the script fetches
# qemu-user (statically linked) from Debian's bookworm-backports with an apt state of its own
# (its own sources list and cache in the build folder; the system's apt sources stay as they
# are) and unpacks it into build-arm64/qemu, where only this build uses it.
#
# Usage: scripts/cross-arm64.sh [BUILD_DIR]        Running it again is quick: it only builds.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$here/build-arm64"}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The host's own tools first (moc, rcc, avr-gcc...), as for the native build.
"$here/scripts/setup.sh" "$here/build" > /dev/null

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo dpkg --add-architecture arm64
    $sudo apt-get update -qq
fi
# --no-install-recommends is needed: libsimavr-dev:arm64 recommends build-essential, which apt
# would take as build-essential:arm64, removing the host's compilers.
packages=(crossbuild-essential-arm64 qt6-base-dev:arm64 qt6-serialport-dev:arm64
          libmosquitto-dev:arm64 libssl-dev:arm64 libsimavr-dev:arm64 libelf-dev:arm64
          libgl-dev:arm64 pkgconf:arm64 libsystemd-dev:arm64
          qt6-wayland:arm64) # the Wayland demo runs the arm64 window on the host's weston
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

qemu="$build/qemu/usr/bin/qemu-aarch64"
if [ ! -x "$qemu" ]; then
    state="$build/qemu-apt"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-backports main" \
        > "$state/sources.list"
    apt=(-o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
         -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache"
         -o APT::Architecture=amd64 -o APT::Architectures=amd64 -o APT::Sandbox::User=root)
    apt-get "${apt[@]}" update -qq
    (cd "$state" && apt-get "${apt[@]}" download qemu-user)
    dpkg -x "$state"/qemu-user_*.deb "$build/qemu"
fi
echo "emulator: $("$qemu" --version | head -n 1)"

started=$(date +%s)
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-linux-gnu.cmake" > /dev/null
cmake --build "$build" --parallel "$(nproc)"
built=$(date +%s)

# The suite runs in a user namespace of its own, uids and gids 0 to 65535 mapped as they are
# (root and nobody stay themselves), with a binfmt_misc of its own in which arm64 programs run
# under the fetched qemu: a test starts them as it starts them natively, and nothing outside
# the namespace sees the registration.
ready="$build/namespace-ready"
rm -f "$ready"
QEMU="$qemu" READY="$ready" unshare --user --mount --fork bash -c '
    while [ ! -e "$READY" ]; do sleep 0.05; done
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    echo ":qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$QEMU:F" \
        > /proc/sys/fs/binfmt_misc/register
    cd "$1" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -j "$(nproc)"
' ctest "$build" &
tests=$!
while [ "$(readlink "/proc/$tests/ns/user")" = "$(readlink /proc/self/ns/user)" ]; do sleep 0.01; done
echo "0 0 65536" | $sudo tee "/proc/$tests/uid_map" > /dev/null
echo "0 0 65536" | $sudo tee "/proc/$tests/gid_map" > /dev/null
touch "$ready"
wait "$tests"
tested=$(date +%s)

rm -f "$build"/vantrelo*_arm64.deb
(cd "$build" && cpack -G DEB > /dev/null)
# The figures the README quotes.
echo "arm64: built in $((built - started)) s, the suite under emulation in $((tested - built)) s"
for deb in "$build"/vantrelo*_arm64.deb; do
    echo "arm64: $(basename "$deb"): $(($(stat -c %s "$deb") / 1024)) KiB"
done
