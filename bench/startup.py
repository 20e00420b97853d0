#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
"""Start-up time (exec -> the window mapped) and resident memory 1 s later, for the program and
for the empty-window reference, alternating, on the current X display.

usage: startup.py RUNS PROGRAM REFERENCE LABELLED
Prints "startup_<name>_ms <median>" and "rss_<name>_kib <median>" for name in program, reference
and labelled (each a command line, optionally led by NAME=value words for its environment).
"""
import os
import statistics
import subprocess
import sys
import time

from Xlib import X, display


def one_run(exe):
    d = display.Display()
    root = d.screen().root
    root.change_attributes(event_mask=X.SubstructureNotifyMask)
    d.sync()
    env = dict(os.environ, QT_QPA_PLATFORM="xcb")
    argv = exe.split()
    while "=" in argv[0]:  # leading NAME=value words set the environment
        name, value = argv.pop(0).split("=", 1)
        env[name] = value
    t0 = time.perf_counter()
    p = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    mapped = None
    deadline = t0 + 20
    while mapped is None and time.perf_counter() < deadline:
        while d.pending_events():
            ev = d.next_event()
            if ev.type == X.MapNotify:
                geometry = ev.window.get_geometry()
                if geometry.width == 519 and geometry.height == 297:
                    mapped = time.perf_counter() - t0
                    break
        if mapped is None:
            time.sleep(0.0005)
    time.sleep(1.0)
    rss = 0
    with open(f"/proc/{p.pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    p.terminate()
    p.wait()
    d.close()
    return (mapped or float("nan")) * 1000.0, rss


def main():
    runs = int(sys.argv[1])
    exes = {"program": sys.argv[2], "reference": sys.argv[3], "labelled": sys.argv[4]}
    results = {name: [] for name in exes}
    for exe in exes.values():  # warm the caches once
        one_run(exe)
    for _ in range(runs):
        for name, exe in exes.items():
            results[name].append(one_run(exe))
    for name, values in results.items():
        print(f"startup_{name}_ms {statistics.median(v[0] for v in values):.1f} ms")
        print(f"rss_{name}_kib {statistics.median(v[1] for v in values):.0f} KiB")


if __name__ == "__main__":
    main()
