#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
# Checks the installed tree and the .deb: the programs, the .desktop entry, the software-centre
# metadata, the icons, the manual pages, the user units, the copyright file, the changelog and the
# firmware image are there and valid; systemd accepts the units; Debian's checker (lintian)
# reports nothing; the package declares its
# run-time dependencies; the program from the unpacked package starts and greets a simulated
# board (through a COM1 link beside it, so it never touches a real port). Also checks the source
# tree's licensing with reuse.
# Usage: scripts/check-package.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: check-package.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

id=org.vantrelo.Vantrelo
expect_files() { # root
    for f in usr/bin/vantrelo usr/bin/vantrelo-sim usr/bin/vantrelo-board usr/bin/vantrelod \
             usr/bin/vantrelo-ctl usr/bin/vantrelo-mqtt usr/share/man/man1/vantrelod.1.gz \
             usr/lib/systemd/user/vantrelod@.service usr/lib/systemd/user/vantrelo-mqtt.service \
             usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
             usr/share/icons/hicolor/32x32/apps/vantrelo.png \
             usr/share/icons/hicolor/scalable/apps/vantrelo.svg \
             usr/share/man/man1/vantrelo.1.gz usr/share/man/man1/vantrelo-sim.1.gz \
             usr/share/man/man1/vantrelo-board.1.gz usr/share/doc/vantrelo/changelog.gz \
             usr/share/doc/vantrelo/copyright usr/share/vantrelo/vantrelo-fw.hex; do
        [ -e "$1/$f" ] || { echo "missing: $1/$f" >&2; exit 1; }
    done
    grep -q '^Exec=vantrelo$' "$1/usr/share/applications/$id.desktop"
    grep -q '^Icon=vantrelo$' "$1/usr/share/applications/$id.desktop"
    desktop-file-validate "$1/usr/share/applications/$id.desktop"
    appstreamcli validate --no-net --explain "$1/usr/share/metainfo/$id.metainfo.xml" > /dev/null
    zcat "$1/usr/share/man/man1/vantrelo.1.gz" | grep -q '^\.SH "EXIT STATUS"'
    zcat "$1/usr/share/doc/vantrelo/changelog.gz" | head -n 1 | grep -q "^vantrelo ($version)"
    grep -q '^License: GPL-3.0-or-later' "$1/usr/share/doc/vantrelo/copyright"
    grep -q '^:10' "$1/usr/share/vantrelo/vantrelo-fw.hex"
}
version=$(sed -n 's/^project(Vantrelo VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")

DESTDIR="$work/installed" cmake --install "$build" --prefix /usr > /dev/null
expect_files "$work/installed"
echo "installed tree: ok"

(cd "$build" && cpack -G DEB -B "$work/pkg" > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/pkg/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for d in libqt6widgets6 libqt6serialport6 fonts-liberation qt6-qpa-plugins; do
    case "$depends" in *"$d"*) ;; *) echo "Depends lacks $d: $depends" >&2; exit 1 ;; esac
done
dpkg -x "$deb" "$work/root"
expect_files "$work/root"
lintian --fail-on error,warning "$deb"
# systemd's own check of the user units, against the package's programs and manual pages: in a
# mount namespace of its own, where they stand in /usr/local for systemd's search path.
if [ "$(id -u)" -eq 0 ] && command -v unshare > /dev/null && command -v systemd-analyze > /dev/null; then
    mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
    unshare -m sh -euc '
        mount -t tmpfs tmpfs /usr/local
        mkdir -p /usr/local/bin /usr/local/share/man
        cp "$1"/usr/bin/* /usr/local/bin/
        cp -r "$1"/usr/share/man/man1 /usr/local/share/man/
        cd "$1/usr/lib/systemd/user"
        XDG_RUNTIME_DIR="$2" systemd-analyze verify --user vantrelod@pump.service vantrelo-mqtt.service
    ' sh "$work/root" "$work/runtime"
    echo "user units: systemd-analyze verify ok"
else
    echo "user units: not verified (needs root, unshare and systemd-analyze)"
fi
echo "package $(basename "$deb"): ok, lintian: nothing to report"
(cd "$(dirname "$0")/.." && reuse lint > "$work/reuse.log") || { cat "$work/reuse.log" >&2; exit 1; }
echo "licensing: reuse lint ok"

"$work/root/usr/bin/vantrelo-sim" --link "$work/root/usr/bin/COM1" > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q "ready on" "$work/sim.log" && break; sleep 0.1; done
# Until it greets the board (its first attempt comes 2 s after its start; an emulated arm64
# program starts slower), and it must still be running then.
QT_QPA_PLATFORM=offscreen "$work/root/usr/bin/vantrelo" > "$work/app.log" 2>&1 &
app_pid=$!
for _ in $(seq 100); do grep -q "received AT<CR>" "$work/sim.log" && break; sleep 0.1; done
state=$(ps -o stat= -p "$app_pid" || true)
kill "$app_pid" 2>/dev/null || true
if [ -z "$state" ] || [ "${state:0:1}" = Z ]; then
    echo "the packaged program ended early:" >&2
    cat "$work/app.log" >&2
    exit 1
fi
grep -q "received AT<CR>" "$work/sim.log" || { echo "the packaged program did not greet the board" >&2; cat "$work/sim.log" >&2; exit 1; }
echo "packaged program starts and greets the board: ok"
