#!/usr/bin/env bash
# Checks the installed tree and the .deb: the program, the simulator, the .desktop entry and the
# icons are there, the package declares its run-time dependencies, and the program from the
# unpacked package starts and greets a simulated board (through a COM1 link beside it, so it
# never touches a real port).
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

expect_files() { # root
    for f in usr/bin/vantrelo usr/bin/vantrelo-sim usr/share/applications/vantrelo.desktop \
             usr/share/icons/hicolor/32x32/apps/vantrelo.png \
             usr/share/icons/hicolor/scalable/apps/vantrelo.svg; do
        [ -e "$1/$f" ] || { echo "missing: $1/$f" >&2; exit 1; }
    done
    grep -q '^Exec=vantrelo$' "$1/usr/share/applications/vantrelo.desktop"
    grep -q '^Icon=vantrelo$' "$1/usr/share/applications/vantrelo.desktop"
}

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
echo "package $(basename "$deb"): ok"

"$work/root/usr/bin/vantrelo-sim" --link "$work/root/usr/bin/COM1" > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q "ready on" "$work/sim.log" && break; sleep 0.1; done
status=0
QT_QPA_PLATFORM=offscreen timeout 3 "$work/root/usr/bin/vantrelo" > "$work/app.log" 2>&1 || status=$?
if [ "$status" -ne 124 ]; then
    echo "the packaged program ended early ($status):" >&2
    cat "$work/app.log" >&2
    exit 1
fi
grep -q "received AT<CR>" "$work/sim.log" || { echo "the packaged program did not greet the board" >&2; cat "$work/sim.log" >&2; exit 1; }
echo "packaged program starts and greets the board: ok"
