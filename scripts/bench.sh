#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
# Measures the speed and memory figures side by side in one run and prints them as a table.
# Usage: scripts/bench.sh [BUILD_DIR]      (idle figures take a minute: IDLE_SECONDS=30 each;
# then a 30-minute soak: SOAK_MINUTES, 0 for none)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$here/build-bench"}
EXTRA_PACKAGES="python3-xlib valgrind" "$here/scripts/setup.sh" "$build" -DVANTRELO_BENCH=ON -DBUILD_TESTING=OFF
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
bench="$build/bench/vantrelo_bench"
export QT_QPA_PLATFORM=offscreen

# Start-up: a copy of the program in a folder of its own, beside a COM1 link to a silent
# simulator, so that nothing real is touched; the empty window is the reference.
mkdir -p "$out/app"
cp "$build/src/vantrelo" "$out/app/vantrelo"
"$build/tools/simulator/vantrelo-sim" --link "$out/app/COM1" --silent > /dev/null &
sim=$!
trap 'kill $sim 2>/dev/null || true; rm -rf "$out"' EXIT
sleep 0.3
# A private virtual display (python-xlib does not take xvfb-run's cookie, so no access control
# on this short-lived local server).
n=97
while [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -ac -noreset -nolisten tcp -screen 0 800x600x24 > /dev/null 2>&1 &
xvfb=$!
trap 'kill $sim $xvfb 2>/dev/null || true; rm -rf "$out"' EXIT
for _ in $(seq 100); do xdpyinfo -display ":$n" > /dev/null 2>&1 && break; sleep 0.1; done
DISPLAY=":$n" /usr/bin/python3 "$here/bench/startup.py" "${STARTUP_RUNS:-10}" \
    "$out/app/vantrelo" "$build/bench/empty_window" "$build/bench/empty_window --label" > "$out/figures"

# The remote interface: a copy on a private session bus, beside a simulator and then beside the
# paced emulated board; vantrelo-ctl against dbus-send. Start-up with the bus, and without one.
eval "$(dbus-daemon --session --fork --print-address=1 --print-pid=1 |
        sed -n '1s/^/DBUS_SESSION_BUS_ADDRESS=/p; 2s/^/bus=/p')"
export DBUS_SESSION_BUS_ADDRESS
trap 'kill $sim $xvfb $bus 2>/dev/null || true; rm -rf "$out"' EXIT
DISPLAY=":$n" /usr/bin/python3 "$here/bench/startup.py" "${STARTUP_RUNS:-10}" \
    "$out/app/vantrelo" "DBUS_SESSION_BUS_ADDRESS=unix:path=$out/nowhere $out/app/vantrelo" \
    "$build/bench/empty_window" | sed 's/_program_/_bus_/; s/_reference_/_nobus_/' \
    | grep -E '_(bus|nobus)_' >> "$out/figures"
kill $xvfb
kill $sim
for peer in sim board; do
    rm -f "$out/app/COM1"
    if [ $peer = sim ]; then
        "$build/tools/simulator/vantrelo-sim" --link "$out/app/COM1" > /dev/null &
    else
        "$build/tools/board/vantrelo-board" --firmware "$build/firmware/vantrelo-fw.elf" \
            --link "$out/app/COM1" --realtime > /dev/null &
        printf '1,"9600",0,"1"\r\n"a","b","c","d"\r\n' > "$out/app/vantrelo.ini"
    fi
    sim=$!
    sleep 0.5
    "$out/app/vantrelo" 2> /dev/null &
    app=$!
    for _ in $(seq 100); do
        "$build/src/vantrelo-ctl" list 2> /dev/null | grep -q connected && break
        sleep 0.1
    done
    /usr/bin/python3 "$here/bench/remote.py" "${REMOTE_RUNS:-50}" "$build/src/vantrelo-ctl" \
        vantrelo "$peer" >> "$out/figures"
    kill $app $sim
    wait $app $sim 2> /dev/null || true
done
rm -f "$out/app/vantrelo.ini"
"$bench" remote 1000 >> "$out/figures" 2>/dev/null
# The board as a service, on the same private bus: exec to the first handshake on the wire,
# memory, idle CPU searching and connected.
"$bench" service "$build/src/vantrelod" "${STARTUP_RUNS:-10}" "${IDLE_SECONDS:-30}" \
    >> "$out/figures" 2>/dev/null

# The MQTT bridge: a broker of our own on 127.0.0.1, copies c01.. beside simulators.
mport=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
chmod 755 "$out"
# The broker as the README recommends it, with set_tcp_nodelay; a second one as installed.
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n' \
    "$mport" > "$out/mosquitto.conf"
mosquitto -c "$out/mosquitto.conf" > /dev/null 2>&1 &
broker=$!
dport=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$dport" > "$out/default.conf"
mosquitto -c "$out/default.conf" > /dev/null 2>&1 &
broker="$broker $!"
pids=()
trap 'kill $sim $xvfb $bus $broker "${pids[@]}" 2>/dev/null || true; rm -rf "$out"' EXIT
copy() { # NAME [board]: a copy in a folder of its own, beside a simulator or the paced board
    mkdir -p "$out/copies/$1"
    cp "$build/src/vantrelo" "$out/copies/$1/$1"
    if [ "${2:-}" = board ]; then
        printf '1,"9600",0,"1"\r\n"a","b","c","d"\r\n' > "$out/copies/$1/$1.ini"
        "$build/tools/board/vantrelo-board" --firmware "$build/firmware/vantrelo-fw.elf" \
            --link "$out/copies/$1/COM1" --realtime > /dev/null 2>&1 &
    else
        "$build/tools/simulator/vantrelo-sim" --link "$out/copies/$1/COM1" > /dev/null 2>&1 &
    fi
    pids+=($!)
    sleep 0.3
    "$out/copies/$1/$1" > /dev/null 2>&1 &
    pids+=($!)
}
online() { # COUNT: wait until so many copies are connected
    for _ in $(seq 100); do
        [ "$("$build/src/vantrelo-ctl" list 2> /dev/null | grep -c connected)" -ge "$1" ] && return
        sleep 0.1
    done
}
rss() { awk '/VmRSS/ { print $2 }' "/proc/$1/status"; }
cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
copy c01
online 1
"$build/src/vantrelo-mqtt" --host 127.0.0.1 --port "$mport" --node-id bench 2> /dev/null &
bridge=$!
pids+=($bridge)
sleep 1
"$bench" mqtt-latency "$mport" c01 mqtt_sim 1000 >> "$out/figures" 2>/dev/null
"$build/src/vantrelo-mqtt" --host 127.0.0.1 --port "$dport" --client-id bench-default \
    --node-id bench 2> /dev/null &
pids+=($!)
sleep 1
"$bench" mqtt-latency "$dport" c01 mqtt_default 200 >> "$out/figures" 2>/dev/null
kill $!
echo "mqtt_rss_1 $(rss $bridge) KiB" >> "$out/figures"
for i in 02 03 04; do copy c$i; done
online 4
sleep 1
c0=$(cpu $bridge)
sleep "${IDLE_SECONDS:-30}"
echo "mqtt_idle_cpu $(awk -v t=$(( $(cpu $bridge) - c0 )) -v s="${IDLE_SECONDS:-30}" -v hz="$(getconf CLK_TCK)" \
        'BEGIN { printf "%.3f", t / hz / s * 100 }') %" >> "$out/figures"
for i in $(seq 5 16); do copy "c$(printf %02d "$i")"; done
online 16
sleep 1
echo "mqtt_rss_16 $(rss $bridge) KiB" >> "$out/figures"
# A new bridge beside 16 copies, one of them stopped: start to the others bridged.
stopped=${pids[$(( ${#pids[@]} - 1 ))]}
kill -STOP "$stopped"
"$bench" mqtt-start "$mport" "$build/src/vantrelo-mqtt" 15 >> "$out/figures" 2>/dev/null
kill -CONT "$stopped"
"$bench" mqtt-load "$mport" 16 "${LOAD_SECONDS:-30}" 100 >> "$out/figures" 2>/dev/null
copy paced board
online 17
sleep 1
"$bench" mqtt-latency "$mport" paced mqtt_board 200 >> "$out/figures" 2>/dev/null
kill "${pids[@]}" $broker $bus 2> /dev/null || true

"$bench" throughput 200000 >> "$out/figures" 2>/dev/null
"$bench" rate "${RATE_SECONDS:-10}" >> "$out/figures" 2>/dev/null
"$bench" latency 3000 >> "$out/figures" 2>/dev/null
"$bench" idle "${IDLE_SECONDS:-30}" >> "$out/figures" 2>/dev/null
"$bench" fatal >> "$out/figures" 2>/dev/null
# The emulation's own speed: 3 s of wall time, unpaced and paced; emulated seconds and CPU.
for pace in fast realtime; do
    flag=""; [ $pace = realtime ] && flag=--realtime
    TIMEFORMAT="%U %S"
    cpu=$( { time timeout -s TERM 3 "$build/tools/board/vantrelo-board" \
                --firmware "$build/firmware/vantrelo-fw.elf" --link "$out/COM9" $flag > "$out/rig.log" || true; } 2>&1 )
    echo "board_${pace}_emulated $(awk '$3 == "stopped" { print $2 }' "$out/rig.log") s" >> "$out/figures"
    echo "board_${pace}_cpu $(echo "$cpu" | awk '{ printf "%.0f", ($1 + $2) / 3 * 100 }') %" >> "$out/figures"
done
"$bench" board "$build/tools/board/vantrelo-board" "$build/firmware/vantrelo-fw.elf" 50 >> "$out/figures" 2>/dev/null
"$bench" board-pulses "$build/tools/board/vantrelo-board" "$build/firmware/vantrelo-fw.elf" >> "$out/figures" 2>/dev/null
"$bench" board-rate "$build/tools/board/vantrelo-board" "$build/firmware/vantrelo-fw.elf" 1000 >> "$out/figures" 2>/dev/null
"$bench" eeprom 100000 >> "$out/figures" 2>/dev/null
"$bench" board-restore "$build/tools/board/vantrelo-board" "$build/firmware/vantrelo-fw-remember.elf" >> "$out/figures" 2>/dev/null
# Flash and RAM: the stock image, and one with every option on.
size() { avr-size --mcu=atmega328p -C "$1" | awk '/Program:/ { p = $2 } /Data:/ { d = $2 } END { print p " " d }'; }
make --no-print-directory -C "$here/firmware" BUILD="$out/fw" NAME=all OUTPUTS=16 ACTIVE_LOW=1 ID=12345678 \
    INTERLOCK="1,2 3,4" INTERLOCK_MS=50 MAX_ON=3600 POWER_ON="1:last 3:last 5:on 6:last 16:last" > /dev/null
read -r p d < <(size "$build/firmware/vantrelo-fw.elf")
echo "fw_flash $p bytes" >> "$out/figures"; echo "fw_ram $d bytes" >> "$out/figures"
read -r p d < <(size "$out/fw/all.elf")
echo "fw_all_flash $p bytes" >> "$out/figures"; echo "fw_all_ram $d bytes" >> "$out/figures"
ir=$(valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$out/cg.out" \
        "$bench" callgrind 20000 2>&1 | sed -n 's/.*Collected : \([0-9]*\).*/\1/p')
echo "callgrind_ir_per_line $((ir / 20000)) instructions" >> "$out/figures"

v() { awk -v k="$1" '$1 == k { print $2 }' "$out/figures"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
cat <<TABLE
| Figure | Measured | Reference / target |
|---|---|---|
| Start-up, exec to window mapped (median of ${STARTUP_RUNS:-10}) | $(v startup_program_ms) ms | empty Qt window $(v startup_reference_ms) ms: $(ratio "$(v startup_program_ms)" "$(v startup_reference_ms)")x (target <= 1.25x) |
| Start-up of an empty window with one label (the font database's share) | $(v startup_labelled_ms) ms | $(ratio "$(v startup_program_ms)" "$(v startup_labelled_ms)")x |
| Resident memory 1 s after start | $(v rss_program_kib) KiB | empty Qt window $(v rss_reference_kib) KiB: $(ratio "$(v rss_program_kib)" "$(v rss_reference_kib)")x (target <= 1.25x); one label $(v rss_labelled_kib) KiB: $(ratio "$(v rss_program_kib)" "$(v rss_labelled_kib)")x |
| Receive path, as fast as the feeder writes | $(v throughput_lines_per_s) lines/s, $(v throughput_cpu_per_line) us CPU a line | |
| At 921,600 baud (92,160 bytes/s) for ${RATE_SECONDS:-10} s | $(v rate921600_cpu_share) % of a core, $(v rate921600_lines_lost) of $(v rate921600_lines_sent) lines lost | target < 25 %, 0 lost |
| Latency, CR written to colour word changed | median $(v latency_median) ms, p99 $(v latency_p99) ms | target p99 < 2 ms |
| Idle while searching, ${IDLE_SECONDS:-30} s | $(v idle_searching_cpu) % of a core | target < 0.2 % |
| Idle while connected, ${IDLE_SECONDS:-30} s | $(v idle_connected_cpu) % of a core | target < 0.2 % |
| CPU during the 3 s fatal wait | $(v fatal_wait_cpu) ms | target < 30 ms |
| \`SetOutput\` over the bus to the frame on the pty (1,000 calls) | median $(v remote_set_to_frame_median) ms, p99 $(v remote_set_to_frame_p99) ms | target p99 < 1 ms; the bus's own \`Peer.Ping\` round trip: median $(v remote_ping_median) ms, p99 $(v remote_ping_p99) ms |
| \`vantrelo-ctl on 1\`, exec to confirmed exit, simulator (median of ${REMOTE_RUNS:-50}; p99) | $(v sim_ctl_ms) ms; $(v sim_ctl_p99_ms) ms | \`dbus-send --print-reply\` $(v sim_dbus_send_ms) ms: $(ratio "$(v sim_ctl_ms)" "$(v sim_dbus_send_ms)")x (target <= 1.5x) |
| The same against the paced emulated board at 9600 baud | $(v board_ctl_ms) ms; $(v board_ctl_p99_ms) ms | \`dbus-send\` $(v board_dbus_send_ms) ms; the wire's frame and echo 10.4 ms |
| Start-up with the session bus / without one (median) | $(v startup_bus_ms) ms / $(v startup_nobus_ms) ms: $(ratio "$(v startup_bus_ms)" "$(v startup_nobus_ms)")x | target <= 1.05x |
| \`vantrelod\`: exec to the first handshake frame on the wire (median of ${STARTUP_RUNS:-10}) | $(v service_first_frame_ms) ms | target < 50 ms; the window's exec to mapped $(v startup_program_ms) ms |
| \`vantrelod\`: resident memory 1 s after start | $(v service_rss_kib) KiB | the window's $(v rss_program_kib) KiB: $(ratio "$(v service_rss_kib)" "$(v rss_program_kib)")x (target <= 0.5x) |
| \`vantrelod\` idle, searching / connected, ${IDLE_SECONDS:-30} s | $(v service_idle_searching_cpu) % / $(v service_idle_connected_cpu) % of a core | target < 0.05 % (one clock tick in ${IDLE_SECONDS:-30} s is $(awk -v s="${IDLE_SECONDS:-30}" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.3f", 100 / hz / s }') %) |
| Resident memory with the session bus / without one | $(v rss_bus_kib) KiB / $(v rss_nobus_kib) KiB: $(ratio "$(v rss_bus_kib)" "$(v rss_nobus_kib)")x | target <= 1.05x |
| MQTT \`set\` published to the state published back: broker (\`set_tcp_nodelay true\`), bridge, bus, program, simulator pty (1,000 commands) | median $(v mqtt_sim_set_to_state_median) ms, p99 $(v mqtt_sim_set_to_state_p99) ms | target p99 < 5 ms |
| The same through a broker as installed (\`set_tcp_nodelay\` false, 200 commands) | median $(v mqtt_default_set_to_state_median) ms, p99 $(v mqtt_default_set_to_state_p99) ms | the broker's Nagle delay against the client's delayed acknowledgements |
| The same against the paced emulated board at 9600 baud (200 commands) | median $(v mqtt_board_set_to_state_median) ms, p99 $(v mqtt_board_set_to_state_p99) ms | the wire's frame and echo 10.4 ms |
| The bridge idle with 4 copies, ${IDLE_SECONDS:-30} s | $(v mqtt_idle_cpu) % of a core | target < 0.1 % |
| A new bridge beside 16 copies, one stopped with \`SIGSTOP\`: exec to its first publication / to the 15 others bridged | $(v mqtt_start_first_ms) ms / $(v mqtt_start_all_ms) ms | target < 3 s |
| The bridge's resident memory with 1 copy / 16 copies | $(v mqtt_rss_1) KiB / $(v mqtt_rss_16) KiB | target < 20 MB with 16 |
| 16 copies x 4 outputs, 100 commands a second for ${LOAD_SECONDS:-30} s | $(v mqtt_load_commands) commands: $(v mqtt_load_lost) states lost, $(v mqtt_load_duplicated) duplicated | target 0 |
| Instructions a reply line (callgrind, fake port) | $(v callgrind_ir_per_line) | |
| Emulated board, 3 s of wall time unpaced / paced to real time | $(v board_fast_emulated) s / $(v board_realtime_emulated) s emulated, $(v board_fast_cpu) % / $(v board_realtime_cpu) % of a core | |
| Emulated board at 9600 baud, paced: click to pin change (median of 50) | $(v board_click_to_pin_median) ms | the wire: 5 bytes of "1O1H" CR, 5.2 ms |
| Emulated board: click to echo recoloured (median; max) | $(v board_click_to_echo_median) ms; $(v board_click_to_echo_max) ms | the wire: frame and echo, 10 bytes, 10.4 ms |
| 1,000 \`SetOutput\` calls at once over the bus, paced by the link to the emulated board at 9600 baud | $(v board_bus_rate) commands a second, $(v board_bus_rate_of_wire) % of the wire's; $(v board_bus_lost) lost | the wire: one command and its echo in flight, 96 a second (target >= 90 %, 0 lost) |
| Emulated board, paced: a pulse's pin high for 100 ms / 1 s / 10 s asked | $(v board_pulse_100_ms) ms / $(v board_pulse_1000_ms) ms / $(v board_pulse_10000_ms) ms | the board wakes at the due time: within a millisecond |
| Firmware size, 4 outputs / 16 outputs with every option (interlock, longest on-time, power-on states, 8-character identifier) | $(v fw_flash) / $(v fw_all_flash) bytes of flash, $(v fw_ram) / $(v fw_all_ram) bytes of RAM | of 32,768 and 2,048; before power-on states 4,094 / 4,224 and 642 / 674 |
| The ring of last states: EEPROM bytes written a change; the busiest cell's writes a change | $(v eeprom_bytes_per_change) bytes; $(v eeprom_busiest_cell_per_change) | 5 bytes a record, 200 records |
| Its life at 1,000 changes a day, every change written at once | $(v eeprom_life_1000_a_day) years | a cell takes 100,000 writes; target >= 50 years |
| Emulated board: reset to the pins restored from the EEPROM | $(v board_reset_to_pins_restored) us | the pins are inputs until then; the first frame at 9600 baud takes 10.4 ms |
TABLE

# The soak, over time (SOAK_MINUTES, 30 by default; 0 leaves it out): its own table.
if [ "${SOAK_MINUTES:-30}" != 0 ]; then
    echo
    /usr/bin/python3 "$here/scripts/soak.py" --build "$build" --minutes "${SOAK_MINUTES:-30}"
fi
