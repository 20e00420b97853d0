#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
# Checks the installed tree and the three .debs (the headless part, the window, the board kit):
# each holds its programs, manual pages, copyright file and changelog, and only those; the
# .desktop entry, the software-centre metadata and the units are valid; systemd accepts the
# units and rates their exposure; Debian's checker (lintian) reports nothing, no hardening tag
# either; the headless package would bring no desktop onto a machine that has none (apt-get
# --simulate into an empty dpkg state); the packaged programs start (the window greets a
# simulated board through a COM1 link beside it, so it never touches a real port). Also checks
# the source tree's licensing with reuse.
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
fail() { echo "$*" >&2; exit 1; }

id=org.vantrelo.Vantrelo
version=$(sed -n 's/^project(Vantrelo VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
# What each package holds, beside its copyright file and changelog.
daemon_files="usr/bin/vantrelod usr/bin/vantrelo-ctl usr/bin/vantrelo-mqtt
    usr/lib/systemd/user/vantrelod@.service usr/lib/systemd/user/vantrelo-mqtt.service
    usr/share/dbus-1/interfaces/org.vantrelo.Board1.xml usr/share/man/man1/vantrelod.1.gz
    usr/share/man/man1/vantrelo-ctl.1.gz usr/share/man/man1/vantrelo-mqtt.1.gz"
window_files="usr/bin/vantrelo usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml
    usr/share/icons/hicolor/32x32/apps/vantrelo.png usr/share/icons/hicolor/scalable/apps/vantrelo.svg
    usr/share/man/man1/vantrelo.1.gz"
boardkit_files="usr/bin/vantrelo-sim usr/bin/vantrelo-board usr/share/vantrelo/vantrelo-fw.hex
    usr/share/man/man1/vantrelo-sim.1.gz usr/share/man/man1/vantrelo-board.1.gz"
declare -A package=([daemon]=vantrelo-daemon [window]=vantrelo [boardkit]=vantrelo-board-kit)

expect_files() { # ROOT COMPONENT...
    local root=$1
    shift
    for c in "$@"; do
        local files="${c}_files"
        for f in ${!files} usr/share/doc/${package[$c]}/copyright usr/share/doc/${package[$c]}/changelog.gz; do
            [ -e "$root/$f" ] || fail "missing: $root/$f"
        done
        zcat "$root/usr/share/doc/${package[$c]}/changelog.gz" | head -n 1 | grep -q "^vantrelo ($version)"
        grep -q '^License: GPL-3.0-or-later' "$root/usr/share/doc/${package[$c]}/copyright"
    done
}

DESTDIR="$work/installed" cmake --install "$build" --prefix /usr > /dev/null
expect_files "$work/installed" daemon window boardkit
grep -q '^Exec=vantrelo$' "$work/installed/usr/share/applications/$id.desktop"
grep -q '^Icon=vantrelo$' "$work/installed/usr/share/applications/$id.desktop"
desktop-file-validate "$work/installed/usr/share/applications/$id.desktop"
appstreamcli validate --no-net --explain "$work/installed/usr/share/metainfo/$id.metainfo.xml" > /dev/null
# The metadata's own licence line agrees with its metadata_license, and it provides the window
# package's programs, all of them.
meta="$work/installed/usr/share/metainfo/$id.metainfo.xml"
[ "$(sed -n 's/.*-License-Identifier: \([^ ]*\) .*/\1/p' "$meta")" = \
  "$(sed -n 's/.*<metadata_license>\(.*\)<\/metadata_license>.*/\1/p' "$meta")" ] ||
    fail "the metadata's licence line and its metadata_license differ"
provided=$(sed -n 's/.*<binary>\(.*\)<\/binary>.*/\1/p' "$meta" | sort | tr '\n' ' ')
[ "$provided" = "vantrelo " ] || fail "the metadata provides '$provided', the window package vantrelo"
zcat "$work/installed/usr/share/man/man1/vantrelo.1.gz" | grep -q '^\.SH "EXIT STATUS"'
grep -q '^:10' "$work/installed/usr/share/vantrelo/vantrelo-fw.hex"
for page in "$work"/installed/usr/share/man/man1/*.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null || true)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
echo "installed tree: ok"

(cd "$build" && cpack -G DEB -B "$work/pkg" > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
for c in daemon window boardkit; do
    deb=$(ls "$work"/pkg/"${package[$c]}"_*.deb)
    dpkg -x "$deb" "$work/root-$c"
    expect_files "$work/root-$c" "$c"
    # Only its own files: nothing of the others.
    for other in daemon window boardkit; do
        [ "$other" = "$c" ] && continue
        files="${other}_files"
        for f in ${!files}; do
            [ ! -e "$work/root-$c/$f" ] || fail "${package[$c]} holds $f, which is ${package[$other]}'s"
        done
    done
    # Debian's hardening flags: no hardening-* tag, not even as information.
    lintian --fail-on error,warning --display-info "$deb" > "$work/lintian.log" ||
        { cat "$work/lintian.log" >&2; exit 1; }
    if grep -q 'hardening-' "$work/lintian.log"; then cat "$work/lintian.log" >&2; exit 1; fi
    echo "package $(basename "$deb"): ok, lintian: $(grep -c . "$work/lintian.log" || true) notes"
done
field() { dpkg-deb -f "$(ls "$work"/pkg/"$1"_*.deb)" "$2"; }
case "$(field vantrelo-daemon Depends)" in *procps*) ;; *) fail "vantrelo-daemon does not depend on procps" ;; esac
case "$(field vantrelo-daemon Recommends)" in *dbus-user-session*) ;; *) fail "vantrelo-daemon does not recommend dbus-user-session" ;; esac
case "$(field vantrelo Recommends)" in *vantrelo-daemon*) ;; *) fail "vantrelo does not recommend vantrelo-daemon" ;; esac
for d in libqt6widgets6 fonts-liberation qt6-qpa-plugins; do
    case "$(field vantrelo Depends)" in *"$d"*) ;; *) fail "vantrelo's Depends lacks $d" ;; esac
done

# A machine with nothing installed takes the headless part: no Qt Gui or Widgets, no fonts, no
# platform plugins, no simavr would come with it.
mkdir -p "$work/apt"
: > "$work/apt/status"
arch=$(dpkg-deb -f "$(ls "$work"/pkg/vantrelo-daemon_*.deb)" Architecture)
if apt-get --simulate -o Dir::State::status="$work/apt/status" -o Debug::NoLocking=1 \
        -o APT::Architecture="$arch" install "$(ls "$work"/pkg/vantrelo-daemon_*.deb)" > "$work/apt.log" 2>&1; then
    if grep -E '^Inst (libqt6gui6|libqt6widgets6|qt6-qpa-plugins|fonts-[a-z0-9-]+|simavr|libsimavr[a-z0-9-]*|libx11-6|libgl1|libxcb1) ' "$work/apt.log"; then
        fail "the headless package would bring a desktop along"
    fi
    grep -q '^Inst libqt6dbus6' "$work/apt.log" || fail "apt-get --simulate resolved nothing: $(tail -3 "$work/apt.log")"
    echo "headless package on an empty machine: $(grep -c '^Inst' "$work/apt.log") packages, no desktop"
else
    cat "$work/apt.log" >&2
    fail "apt-get --simulate could not resolve the headless package (are the package lists there?)"
fi

# systemd's own check of the user units, against the package's programs and manual pages: in a
# mount namespace of its own, where they stand in /usr/local for systemd's search path; and their
# exposure as systemd rates it.
units="$work/root-daemon/usr/lib/systemd/user"
if [ "$(id -u)" -eq 0 ] && command -v unshare > /dev/null && command -v systemd-analyze > /dev/null; then
    mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
    unshare -m sh -euc '
        mount -t tmpfs tmpfs /usr/local
        mkdir -p /usr/local/bin /usr/local/share/man
        cp "$1"/usr/bin/* /usr/local/bin/
        cp -r "$1"/usr/share/man/man1 /usr/local/share/man/
        cd "$1/usr/lib/systemd/user"
        XDG_RUNTIME_DIR="$2" systemd-analyze verify --user vantrelod@pump.service vantrelo-mqtt.service
    ' sh "$work/root-daemon" "$work/runtime"
    for unit in vantrelod@pump.service vantrelo-mqtt.service; do
        exposure=$(cd "$units" && XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user security \
                       --offline=yes "$unit" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
        awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 6.5) }' || fail "$unit: exposure $exposure, above 6.5"
        echo "$unit: exposure $exposure"
    done
    echo "user units: systemd-analyze verify ok"
else
    echo "user units: not verified (needs root, unshare and systemd-analyze)"
fi
# The programs under their units' restrictions, where a user manager can apply them: each answers,
# and the bridge runs its attempts to reach a broker for two seconds.
sandbox=(-p NoNewPrivileges=yes -p LockPersonality=yes -p SystemCallArchitectures=native
         -p SystemCallFilter=@system-service -p "SystemCallFilter=~@privileged @resources"
         -p SystemCallErrorNumber=EPERM -p RestrictNamespaces=yes -p RestrictRealtime=yes
         -p RestrictSUIDSGID=yes -p KeyringMode=private -p UMask=0077
         -p MemoryDenyWriteExecute=yes)
if reason=$(systemd-run --user --wait --quiet true 2>&1); then
    for program in vantrelod vantrelo-ctl vantrelo-mqtt; do
        systemd-run --user --wait --quiet "${sandbox[@]}" "$work/root-daemon/usr/bin/$program" --version
    done
    systemd-run --user --wait --quiet "${sandbox[@]}" -p RuntimeMaxSec=2 \
        "$work/root-daemon/usr/bin/vantrelo-mqtt" -h 127.0.0.1 -p 9 || true
    echo "the programs under their units' restrictions: ok"
else
    echo "the programs under their units' restrictions: not tried, no systemd user manager here ($reason)"
fi
(cd "$(dirname "$0")/.." && reuse lint > "$work/reuse.log") || { cat "$work/reuse.log" >&2; exit 1; }
echo "licensing: reuse lint ok"

# The headless programs answer without a display; the window greets a simulated board.
"$work/root-daemon/usr/bin/vantrelod" --version | grep -q "^vantrelod $version"
"$work/root-daemon/usr/bin/vantrelo-mqtt" --version | grep -q "^vantrelo-mqtt $version"
"$work/root-boardkit/usr/bin/vantrelo-sim" --link "$work/root-window/usr/bin/COM1" > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q "ready on" "$work/sim.log" && break; sleep 0.1; done
# Until it greets the board (its first attempt comes 2 s after its start; an emulated arm64
# program starts slower), and it must still be running then.
QT_QPA_PLATFORM=offscreen "$work/root-window/usr/bin/vantrelo" > "$work/app.log" 2>&1 &
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
echo "packaged programs start, and the window greets the board: ok"
