#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
# The demo: a copy of the program (board.1) beside a COM1 link to the controller simulator, in
# BUILD_DIR/demo. The real executable's folder never gets a link, so no real board is shadowed.
#
# Usage: scripts/demo.sh BUILD_DIR [--two] [--board] [--wayland]
#   --two     a second simulator and a second copy on COM2: two boards side by side
#   --board   the real firmware on an emulated ATmega328P in place of the simulator
#   --wayland on a Wayland compositor of its own (weston, headless): waits until every window
#             is connected and still open, and exits 0 (1 if not)
# With a display it leaves the window(s) open and stops the simulators when they close.
# Without one (DISPLAY unset) it runs on a virtual display, waits until the program is connected
# and an output has switched (with --board: output 1 clicked, its pin high), saves a screenshot,
# prints its path and exits 0 (1 if not).
set -euo pipefail
build=$(cd "${1:?usage: demo.sh BUILD_DIR [--two]}" && pwd)
shift
two=0
inner=0
use_board=0
wayland=0
for arg in "$@"; do
    case "$arg" in
    --two) two=1 ;;
    --board) use_board=1 ;;
    --wayland) wayland=1 ;;
    --on-virtual-display) inner=1 ;;
    *) echo "demo.sh: unknown option $arg" >&2; exit 2 ;;
    esac
done

if [ $wayland -eq 1 ]; then
    export XDG_RUNTIME_DIR
    XDG_RUNTIME_DIR=$(mktemp -d)
    weston --backend=headless-backend.so --socket=vantrelo-demo --idle-time=0 \
        > "$XDG_RUNTIME_DIR/weston.log" 2>&1 &
    compositor=$!
    trap 'kill $compositor 2>/dev/null; rm -rf "$XDG_RUNTIME_DIR"' EXIT
    for _ in $(seq 50); do [ -S "$XDG_RUNTIME_DIR/vantrelo-demo" ] && break; sleep 0.1; done
    unset DISPLAY
    export WAYLAND_DISPLAY=vantrelo-demo QT_QPA_PLATFORM=wayland
    inner=2
elif [ -z "${DISPLAY:-}" ] && [ $inner -eq 0 ]; then
    args=("$build" --on-virtual-display)
    [ $two -eq 1 ] && args+=(--two)
    [ $use_board -eq 1 ] && args+=(--board)
    exec xvfb-run -a -s "-screen 0 1100x360x24" "$0" "${args[@]}"
fi

demo="$build/demo"
mkdir -p "$demo"
boards=(board.1)
[ $two -eq 1 ] && boards+=(board.2)

pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait "${pids[@]}" 2>/dev/null || true
    [ $wayland -eq 0 ] || { kill "$compositor" 2>/dev/null; rm -rf "$XDG_RUNTIME_DIR"; }
}
trap cleanup EXIT

n=0
for board in "${boards[@]}"; do
    n=$((n + 1))
    cp -f "$build/src/vantrelo" "$demo/$board"
    printf '%d,"9600",0,"%d"\r\n"Pump","Fan","Light","Heater"\r\n' "$n" "$n" > "$demo/$board.ini"
    if [ $use_board -eq 1 ]; then
        printf '%d,"9600",0,"1"\r\n"Pump","Fan","Light","Heater"\r\n' "$n" > "$demo/$board.ini"
        "$build/tools/board/vantrelo-board" --firmware "$build/firmware/vantrelo-fw.elf" \
            --link "$demo/COM$n" --realtime > "$demo/sim$n.log" 2>&1 &
    else
        "$build/tools/simulator/vantrelo-sim" --link "$demo/COM$n" --id "$n" --toggle-every 2500 \
            > "$demo/sim$n.log" 2>&1 &
    fi
    pids+=($!)
done
for n in $(seq 1 ${#boards[@]}); do
    for _ in $(seq 50); do grep -q "ready on" "$demo/sim$n.log" && break; sleep 0.1; done
    grep -q "ready on" "$demo/sim$n.log" || { cat "$demo/sim$n.log" >&2; exit 1; }
done

if [ $inner -eq 0 ]; then
    apps=()
    x=0
    for board in "${boards[@]}"; do "$demo/$board" -geometry "+$x+0" & apps+=($!); x=$((x + 560)); done
    wait "${apps[@]}" || true
    exit 0
fi

# The windows side by side, each placed with -geometry as X11 programs are.
start_windows() {
    x=0
    for board in "${boards[@]}"; do
        "$demo/$board" -geometry "+$x+0" > "$demo/$board.log" 2>&1 &
        pids+=($!)
        x=$((x + 530))
    done
}

# On the compositor: every window connected (its board asked for the states) and still open a
# second later.
if [ $inner -eq 2 ]; then
    start_windows
    n=0
    for board in "${boards[@]}"; do
        n=$((n + 1))
        for _ in $(seq 100); do grep -q "received ${n}OA<CR>" "$demo/sim$n.log" && break; sleep 0.1; done
        grep -q "received ${n}OA<CR>" "$demo/sim$n.log" ||
            { echo "demo: $board did not connect on Wayland" >&2; cat "$demo/$board.log" >&2; exit 1; }
    done
    sleep 1
    for p in "${pids[@]: -${#boards[@]}}"; do
        kill -0 "$p" 2>/dev/null || { echo "demo: a window ended on Wayland" >&2; exit 1; }
    done
    echo "demo: ${boards[*]} connected on Wayland"
    exit 0
fi

# On the virtual display: start, wait for the connection, check the pixels, keep a screenshot.
export QT_QPA_PLATFORM=xcb
start_windows

pixel() { # image x y -> RRGGBB
    convert "$1" -format "%[hex:p{$2,$3}]" info: | cut -c1-6
}
window_of() { # title -> X window id of the 519x297 top-level
    # Empty while the window is not up yet.
    { xwininfo -root -tree | grep "\"Vantrelo: $1\"" | grep "519x297" | awk '{print $1}' | head -n 1; } || true
}

ok=1
for board in "${boards[@]}"; do
    good=0
    for _ in $(seq 60); do
        sleep 0.25
        id=$(window_of "$board")
        [ -n "$id" ] || continue
        import -window "$id" "$demo/$board.png" 2>/dev/null || continue
        # The status line (8,56)-(513,75) shows a reply on pale green or the connected green;
        # output button 1 at (15,101) has been switched on by the controller.
        status=$(pixel "$demo/$board.png" 12 60)
        button=$(pixel "$demo/$board.png" 25 110)
        # The emulated board switches nothing by itself: click output 1 once connected, as the
        # operator would, and see its pin go high.
        if [ "${use_board:-0}" -eq 1 ] && [ "$status" != "C0FFFF" ] && [ "$status" != "8080FF" ] &&
           [ "$button" != "00C000" ]; then
            xdotool mousemove --window "$id" 25 110 click 1 || true
            continue
        fi
        if [ "${use_board:-0}" -eq 1 ] && ! grep -q " D2 high" "$demo/sim1.log"; then
            continue
        fi
        if { [ "$status" = "C0FFC0" ] || [ "$status" = "00C000" ]; } && [ "$button" = "00C000" ]; then
            good=1
            break
        fi
    done
    if [ $good -eq 0 ]; then
        echo "demo: $board did not connect (status pixel ${status:-none}, button pixel ${button:-none})" >&2
        ok=0
    fi
    # A dock finds the desktop entry by the window's class.
    class=$(xprop -id "$id" WM_CLASS | sed -n 's/.*", "\(.*\)"$/\1/p')
    entry=$(sed -n 's/^StartupWMClass=//p' "$(dirname "$0")/../resources/org.vantrelo.Vantrelo.desktop")
    if [ "$class" != "$entry" ]; then
        echo "demo: $board's window is of class '$class', its desktop entry says '$entry'" >&2
        ok=0
    fi
done
import -window root -crop "$((${#boards[@]} * 530))x310+0+0" "$demo/screenshot.png"
echo "$demo/screenshot.png"
[ $ok -eq 1 ]
