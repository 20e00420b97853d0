#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
"""Exec to exit of `vantrelo-ctl on 1` (which waits for the controller's confirmation) and of
`dbus-send --print-reply` calling the same method (one bus round trip from a fresh process),
alternating, against a copy already running on the session bus in the environment.

usage: remote.py RUNS CTL NAME TAG
Prints "<TAG>_ctl_ms <median>", "<TAG>_ctl_p99_ms", "<TAG>_dbus_send_ms <median>".
"""
import statistics
import subprocess
import sys
import time


def timed(argv):
    t0 = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return (time.perf_counter() - t0) * 1000.0


def main():
    runs, ctl, name, tag = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    service = "org.vantrelo.Board." + name  # the name needs no escaping
    ctl_ms, send_ms = [], []
    for i in range(runs + 2):
        state = "on" if i % 2 else "off"
        c = timed([ctl, "-b", name, state, "1"])
        s = timed(["dbus-send", "--session", "--print-reply", "--dest=" + service,
                   "/org/vantrelo/Board", "org.vantrelo.Board1.SetOutput", "uint32:1",
                   "boolean:" + ("true" if i % 2 else "false")])
        if i >= 2:  # the first two warm the caches
            ctl_ms.append(c)
            send_ms.append(s)
        time.sleep(0.02)  # the echo of dbus-send's frame has come back
    ctl_ms.sort()
    print(f"{tag}_ctl_ms {statistics.median(ctl_ms):.2f} ms")
    print(f"{tag}_ctl_p99_ms {ctl_ms[min(len(ctl_ms) - 1, len(ctl_ms) * 99 // 100)]:.2f} ms")
    print(f"{tag}_dbus_send_ms {statistics.median(send_ms):.2f} ms")


if __name__ == "__main__":
    main()
