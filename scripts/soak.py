#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
"""A compressed week: four boards, a service for each, a broker and the bridge, under a random
load of commands through MQTT and vantrelo-ctl, with a fault every few seconds; the invariants
are checked throughout, and the figures printed at the end. See docs/testing.md.

Usage: soak.py --build BUILD [--minutes N] [--seed S]
Exit status 0 when every check held, 1 as soon as one did not (printed with when it broke and the run's seed)."""

import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BOARDS = (1, 2, 3, 4)  # 1 to 3 simulators, 4 the emulated board with the real firmware
OUTPUTS = (1, 2, 3, 4)
NODE = "soak"
STEADY = "steady"
LOAD_PER_SECOND = 20
CALL_MS = 2000  # vantrelo-ctl's time-out, and the bridge's for each call
SLACK = 0.5  # s: a command's trip through the broker, beyond the bridge's call time-out
QUIET = 3.0  # s after the last command, all faults healed: a quiet point
HEAL_LIMIT = 60.0  # s: a fault not healed by then is a breach
COMMAND_FRAME = re.compile(r"^(?P<id>.+?)O(?P<n>[1-9][0-9]*|A)(?P<verb>H|L|P[0-9]+)$")


class Breach(Exception):
    pass


class Program:
    """One process the soak starts: its output lines stamped as they come, its end watched. An
    end the soak did not ask for is a breach."""

    def __init__(self, soak, name, argv, on_stdout=None, journal=False, env=None):
        self.soak, self.name, self.argv = soak, name, argv
        self.on_stdout, self.journal, self.env = on_stdout, journal, env or {}
        self.process = None
        self.ending = False
        self.started = 0.0
        self.errors = []  # (time, line) at error level or worse

    def start(self):
        env = dict(self.soak.env, **self.env)
        read_end, write_end = os.pipe()
        if self.journal:  # the journal's stream: every line carries its priority
            st = os.fstat(write_end)
            env["JOURNAL_STREAM"] = f"{st.st_dev}:{st.st_ino}"
        self.ending = False
        self.started = time.time()
        self.process = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE if self.on_stdout else subprocess.DEVNULL,
                                        stderr=write_end, env=env)
        os.close(write_end)
        process = self.process
        threading.Thread(target=self._read_errors, args=(os.fdopen(read_end, "rb"),), daemon=True).start()
        if self.on_stdout:
            threading.Thread(target=self._read, args=(process.stdout, self.on_stdout), daemon=True).start()
        threading.Thread(target=self._watch, args=(process,), daemon=True).start()

    def _read(self, stream, handle):
        for raw in stream:
            handle(time.time(), raw.decode("utf-8", "replace").rstrip("\n"))

    def _read_errors(self, stream):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.soak.log(f"{self.name}: {line}")
            if re.match(r"^<[0-3]>", line):
                self.errors.append((time.time(), line))
            if refusal := re.match(r"^<4>vantrelo-mqtt: output \d+ of (\S+): ([^.:]*)", line):
                reason = refusal[2].replace(refusal[1], "the copy")  # its first clause
                reasons = self.soak.bridge_refusals
                reasons[reason] = reasons.get(reason, 0) + 1

    def _watch(self, process):
        status = process.wait()
        if process is self.process and not self.ending and not self.soak.stopping:
            self.soak.breach(f"{self.name} died (status {status})")

    def send(self, number):
        if self.process and self.process.poll() is None:
            self.process.send_signal(number)

    def end(self, number=signal.SIGTERM):
        """Ends it on purpose and waits for it."""
        self.ending = True
        self.send(number)
        if self.process:
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def usage(self):
        """Resident memory in KiB and open descriptors, or None when it is not running."""
        pid = self.process.pid if self.process and self.process.poll() is None else None
        if pid is None:
            return None
        try:
            with open(f"/proc/{pid}/status") as f:
                rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
            fds = sorted(os.readlink(f"/proc/{pid}/fd/{fd}").split("[")[0] for fd in os.listdir(f"/proc/{pid}/fd"))
            return rss, len(fds), fds
        except (OSError, StopIteration):
            return None


class Board:
    """A board on a pseudo-terminal: the frames it received, from its own log, and the states it
    holds (the simulator's reports, the emulated board's pins)."""

    def __init__(self, soak, n):
        self.soak, self.n = soak, n
        self.device_id = str(n) if n < 4 else "1"  # the emulated board's blank EEPROM: "1"
        self.link = os.path.join(soak.dir, f"COM{n}")
        self.frames = []  # (earliest, time, text): when it may have been written, when logged
        self.states = [False] * 4
        self.stopped_at = None  # while stopped, and the last stop, for frames read at the resume
        self.resumed = (0.0, 0.0)  # (stopped at, resumed at)
        emulated = n == 4
        argv = ([soak.tool("tools/board/vantrelo-board"), "--firmware",
                 soak.tool("firmware/vantrelo-fw-remember.elf"), "--link", self.link, "--realtime",
                 "--eeprom", os.path.join(soak.dir, "eeprom"), "--frames"] if emulated else
                [soak.tool("tools/simulator/vantrelo-sim"), "--link", self.link, "--id",
                 self.device_id, "--outputs", "4"])
        self.program = Program(soak, f"board {n}", argv, self.on_line, env={"TZ": "UTC"})

    def start(self):
        self.states = [False] * 4  # a board starts with every pin low, until it restores them
        self.program.start()
        deadline = time.time() + 10
        while not os.path.exists(self.link):
            if time.time() > deadline:
                raise Breach(f"board {self.n} made no port")
            time.sleep(0.01)

    def on_line(self, arrived, line):
        self.soak.log(f"board {self.n}: {line}")
        fields = line.split(" ")
        if self.n == 4:  # "<wall> <emulated> D3 high", "<wall> <emulated> received 1O1H"
            if len(fields) != 4:
                return
            at = float(fields[0])
            if fields[2] == "received":
                self.add_frame(at, fields[3])
            elif fields[2] in ("D2", "D3", "D4", "D5"):
                self.states[int(fields[2][1]) - 2] = fields[3] == "high"
            return
        # "HH:MM:SS.mmm received 1O1H<CR>", "HH:MM:SS.mmm sent 1O1H<CR>1O2L<CR>", in UTC
        if len(fields) < 3 or fields[1] not in ("received", "sent"):
            return
        h, m, s = fields[0].split(":")
        day = arrived - arrived % 86400
        at = day + int(h) * 3600 + int(m) * 60 + float(s)
        if at > arrived + 3600:
            at -= 86400
        text = " ".join(fields[2:])
        for item in filter(None, text.split("<CR>")):
            if fields[1] == "received":
                self.add_frame(at, item)
            elif (match := COMMAND_FRAME.match(item)) and match["n"] != "A" and \
                    match["verb"] in ("H", "L") and match["id"] == self.device_id:
                self.states[int(match["n"]) - 1] = match["verb"] == "H"

    def add_frame(self, at, text):
        stopped, resumed = self.resumed
        # Bytes written while the board was stopped are read when it goes on.
        earliest = stopped if resumed - 0.005 <= at <= resumed + 0.3 else at  # stamps in ms
        self.frames.append((earliest, at, text))

    def stop(self):
        self.stopped_at = time.time()
        self.program.send(signal.SIGSTOP)

    def resume(self):
        self.resumed = (self.stopped_at, time.time())  # before it can read a byte
        self.program.send(signal.SIGCONT)

    def unplug(self):
        """A power cut: the board killed, its link gone."""
        self.program.end(signal.SIGKILL)
        if os.path.lexists(self.link):
            os.unlink(self.link)


class Command:
    """One command: what was sent, through which way, when, and what its sender was told."""

    def __init__(self, board, way, verb, output=None, ms=None):
        self.board, self.way, self.verb, self.output, self.ms = board, way, verb, output, ms
        self.sent = time.time()
        self.ended = None  # when its sender was told, or the message left for the broker
        self.outcome = None  # confirmed, not confirmed, refused (ctl); published, not published
        self.reason = ""
        self.matched = False

    def frames(self, device_id):
        if self.verb in ("all on", "all off"):
            return {f"{device_id}OA{'H' if self.verb == 'all on' else 'L'}"}
        prefix = f"{device_id}O{self.output}"
        return {"on": {prefix + "H"}, "off": {prefix + "L"}, "toggle": {prefix + "H", prefix + "L"},
                "pulse": {f"{prefix}P{self.ms}"}}[self.verb]

    def window_end(self):
        """The latest a frame of it may be written: a command told failed never is afterwards;
        one left for the broker is the bridge's until its call time-out."""
        if self.way == "ctl":
            return self.ended + 0.005
        return self.ended + CALL_MS / 1000 + SLACK if self.outcome == "published" else self.ended


class Fault:
    def __init__(self, kind, boards):
        self.kind, self.boards = kind, boards
        self.start = time.time()
        self.end = None
        self.healed = None


class Soak:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 31)
        self.faults_random = random.Random(f"faults {self.seed}")
        self.load_random = random.Random(f"load {self.seed}")
        self.dir = tempfile.mkdtemp(prefix="vantrelo-soak-")
        os.chmod(self.dir, 0o755)  # the broker drops to its own user
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=f"unix:path={self.dir}/bus",
                        XDG_CONFIG_HOME=os.path.join(self.dir, "config"), QT_QPA_PLATFORM="offscreen")
        self.env.pop("JOURNAL_STREAM", None)
        self.stopping = False
        self.began = time.time()
        self.first_breach = None
        self.lock = threading.Lock()
        self.commands, self.faults, self.in_flight = [], [], 0
        self.loading = threading.Event()
        self.view = {}  # topic -> (time, payload), as the broker sent it to a subscriber
        self.port = free_port()
        self.boards = {n: Board(self, n) for n in BOARDS}
        self.services = {n: Program(self, f"vantrelod b{n}", [self.tool("src/vantrelod"), f"b{n}",
                                    "--settings", self.settings_file(n)], journal=True) for n in BOARDS}
        self.bridge = Program(self, "vantrelo-mqtt", [self.tool("src/vantrelo-mqtt"), "-h", "127.0.0.1",
                              "-p", str(self.port), "--node-id", NODE], journal=True)
        # A second machine's bridge on the same broker, never killed: it carries no commands, and
        # its memory is followed through the whole run.
        self.steady_bridge = Program(self, "vantrelo-mqtt (steady)", [
            self.tool("src/vantrelo-mqtt"), "-h", "127.0.0.1", "-p", str(self.port), "--node-id",
            STEADY], journal=True)
        self.bus = Program(self, "dbus-daemon", ["dbus-daemon", "--session", "--nofork",
                                                 f"--address=unix:path={self.dir}/bus"])
        self.broker = Program(self, "mosquitto", ["mosquitto", "-c", os.path.join(self.dir, "mosquitto.conf")])
        self.subscriber = Program(self, "mosquitto_sub", ["mosquitto_sub", "-h", "127.0.0.1", "-p",
                                  str(self.port), "-t", "vantrelo/#", "-F", "%U %t %p"],
                                  on_stdout=self.on_message)
        self.usage = {}  # (name, pid) -> [(KiB, descriptors) a minute after its start, the latest, start]
        self.commands_done, self.bridge_refusals, self.frames_seen = [], {}, 0
        self.load_seconds, self.load_sent = 0.0, 0
        self.messages = open(os.path.join(self.dir, "messages"), "w")

    # --- parts -------------------------------------------------------------------------------

    def tool(self, path):
        return os.path.join(self.build, path)

    def log(self, line):
        with self.lock:
            self.messages.write(f"{time.time() - self.began:9.3f} {line}\n")

    def settings_file(self, n):
        return os.path.join(self.dir, f"b{n}.ini")

    def write_settings(self, n, names=("a", "b", "c", "d"), refused=False):
        device_id = self.boards[n].device_id
        text = f'{n},"9600",0,"{device_id}"' + (",\r\n" if refused else "\r\n")
        text += ",".join(f'"{name}"' for name in names) + "\r\n"
        with open(self.settings_file(n), "w") as f:
            f.write(text)

    def start(self):
        print(f"soak: seed {self.seed}, {self.args.minutes} minutes, in {self.dir}", flush=True)
        self.bus.start()
        wait_for(lambda: os.path.exists(f"{self.dir}/bus"), 5, "the session bus")
        with open(os.path.join(self.dir, "mosquitto.conf"), "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                    "set_tcp_nodelay true\nlog_type error\nlog_type warning\n")
        self.start_broker()
        self.subscriber.start()
        for n in BOARDS:
            self.write_settings(n)
            self.boards[n].start()
            self.services[n].start()
        self.bridge.start()
        self.steady_bridge.start()
        started = Fault("start", BOARDS)
        started.end = self.began
        self.wait_healed(started)
        threading.Thread(target=self.load, daemon=True).start()

    def start_broker(self):
        self.broker.start()
        wait_for(lambda: port_open(self.port), 5, "the broker")

    def stop(self):
        self.stopping = True
        self.loading.clear()
        for program in [self.bridge, self.steady_bridge, *self.services.values(),
                        *(b.program for b in self.boards.values()),
                        self.subscriber, self.broker, self.bus]:
            program.send(signal.SIGCONT)
            program.end()
        self.messages.close()

    def breach(self, what):
        with self.lock:
            if self.first_breach is None:
                self.first_breach = f"{time.time() - self.began:.3f} s: {what}"

    def check(self):
        if self.first_breach:
            raise Breach(self.first_breach)

    def on_message(self, arrived, line):
        parts = line.split(" ", 2)
        if len(parts) >= 2:
            self.view[parts[1]] = (float(parts[0]), parts[2] if len(parts) > 2 else "")

    def copies(self):
        """The copies on the bus: name -> what vantrelo-ctl list says of each."""
        result = subprocess.run([self.tool("src/vantrelo-ctl"), "--timeout", "1000", "list", "--json"],
                                env=self.env, capture_output=True, text=True)
        try:
            return {c["name"]: c for c in json.loads(result.stdout)}
        except ValueError:
            return {}

    def retained(self):
        """The outputs' states retained on the broker: (node, board, output) -> True/False."""
        result = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-t",
                                 "vantrelo/+/+/output/+", "-v", "--retained-only", "-W", "1"],
                                env=self.env, capture_output=True, text=True)
        states = {}
        for line in result.stdout.splitlines():
            topic, _, payload = line.partition(" ")
            level = topic.split("/")
            states[(level[1], int(level[2][1:]), int(level[4]))] = payload == "ON"
        return states

    # --- the load ----------------------------------------------------------------------------

    def load(self):
        """About LOAD_PER_SECOND random commands a second while loading, through both ways."""
        while not self.stopping:
            self.loading.wait()
            r = self.load_random
            board, way = r.choice(BOARDS), r.choice(("mqtt", "ctl"))
            verbs = ("on", "off", "toggle", "pulse") + (("all on", "all off") if way == "ctl" else ())
            verb = r.choice(verbs)
            output = None if verb.startswith("all") else r.choice(OUTPUTS)
            ms = r.randrange(100, 2500) if verb == "pulse" else None
            command = Command(board, way, verb, output, ms)
            with self.lock:
                self.commands.append(command)
                self.in_flight += 1
                self.load_sent += 1
            threading.Thread(target=self.send, args=(command,), daemon=True).start()
            time.sleep(1 / LOAD_PER_SECOND)

    def send(self, command):
        try:
            if command.way == "ctl":
                self.send_ctl(command)
            else:
                self.publish(command, f"{command.output}/" + ("pulse" if command.verb == "pulse" else "set"),
                             [str(command.ms) if command.verb == "pulse" else command.verb.upper()])
        finally:
            self.log(f"{command.way} b{command.board} {command.verb} {command.output or ''} "
                     f"{command.ms or ''}: sent {command.sent - self.began:.3f}, {command.outcome} "
                     f"{command.reason}")
            with self.lock:
                self.in_flight -= 1

    def send_ctl(self, command):
        words = ({"on": ["on"], "off": ["off"], "toggle": ["toggle"], "all on": ["on", "all"],
                  "all off": ["off", "all"]}.get(command.verb) or ["pulse"])
        words = words + ([str(command.output)] if command.output else [])
        if command.verb == "pulse":
            words.append(f"{command.ms}ms")
        result = subprocess.run([self.tool("src/vantrelo-ctl"), "-b", f"b{command.board}", "--timeout",
                                 str(CALL_MS), *words], env=self.env, capture_output=True, text=True)
        command.ended = time.time()
        if result.returncode == 0:
            command.outcome = "confirmed"
            return
        text = result.stderr.strip()
        command.outcome = "not confirmed" if "did not confirm" in text else "refused"
        error = re.search(r"\(org\.[\w.]+\.(\w+)\)", text)
        if result.returncode not in (1, 3):
            self.breach(f"vantrelo-ctl {' '.join(words)} ended with status {result.returncode}: {text}")
        command.reason = ("refused: " + error.group(1) if error else
                          "not confirmed by the board in time" if "did not confirm" in text else
                          "refused: the copy did not answer in time" if "did not answer" in text else
                          "refused: no such copy (restarting)" if result.returncode == 3 else
                          f"refused: {text}")

    def publish(self, command, topic, payloads, commands=None):
        """Publishes payloads on a board's output topic, one message each."""
        result = subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-q", "1",
                                 "-t", f"vantrelo/{NODE}/b{command.board}/output/{topic}", "-l"],
                                input="\n".join(payloads) + "\n", capture_output=True, text=True)
        for c in commands or [command]:
            c.ended = time.time()
            c.outcome = "published" if result.returncode == 0 else "not published"

    def wait_for_quiet(self):
        """Until no command is on its way, and QUIET seconds after the last one's deadline, so
        that the pulses it may have started have ended too."""
        self.loading.clear()
        while True:
            with self.lock:
                if self.in_flight == 0:
                    break
            time.sleep(0.02)
        last = max((c.window_end() for c in self.commands), default=time.time())
        time.sleep(max(0.0, last + QUIET - time.time()))

    # --- the faults: one function each ------------------------------------------------------

    def unplug_board(self, fault):
        board = self.boards[fault.boards[0]]
        board.unplug()
        time.sleep(self.faults_random.uniform(0.5, 3))
        fault.end = time.time()
        board.start()

    def silence_board(self, fault):
        board = self.boards[fault.boards[0]]
        board.stop()
        time.sleep(self.faults_random.uniform(1, 8))
        fault.end = time.time()
        board.resume()

    def stop_service(self, fault):
        service = self.services[fault.boards[0]]
        service.send(signal.SIGSTOP)
        time.sleep(self.faults_random.uniform(1, 5))
        fault.end = time.time()
        service.send(signal.SIGCONT)

    def kill_service(self, fault):
        """As systemd restarts a crashed unit: 100 ms later."""
        service = self.services[fault.boards[0]]
        service.end(signal.SIGKILL)
        time.sleep(0.1)
        fault.end = time.time()
        service.start()

    def reload_good(self, fault):
        n = fault.boards[0]
        names = [f"{name}{self.faults_random.randrange(100)}" for name in "abcd"]
        self.write_settings(n, names)
        self.services[n].send(signal.SIGHUP)

    def reload_refused(self, fault):
        n = fault.boards[0]
        self.write_settings(n, refused=True)
        self.services[n].send(signal.SIGHUP)
        time.sleep(0.5)
        self.write_settings(n)

    def restart_broker(self, fault):
        self.broker.end()
        time.sleep(self.faults_random.uniform(0.5, 3))
        fault.end = time.time()
        self.start_broker()

    def kill_bridge(self, fault):
        self.bridge.end(signal.SIGKILL)
        time.sleep(self.faults_random.uniform(0.1, 1))
        fault.end = time.time()
        self.bridge.start()

    def burst(self, fault):
        """200 commands to one board's output at once, through the broker."""
        n, output = fault.boards[0], self.faults_random.choice(OUTPUTS)
        words = [self.faults_random.choice(("on", "off", "toggle")) for _ in range(200)]
        commands = [Command(n, "mqtt", word, output) for word in words]
        with self.lock:
            self.commands.extend(commands)
        self.publish(commands[0], f"{output}/set", [w.upper() for w in words], commands)

    KINDS = {  # kind: (function, whether it concerns one board)
        "board unplugged": (unplug_board, True),
        "board silent": (silence_board, True),
        "service stopped": (stop_service, True),
        "service killed": (kill_service, True),
        "SIGHUP, good file": (reload_good, True),
        "SIGHUP, refused file": (reload_refused, True),
        "broker restarted": (restart_broker, False),
        "bridge killed": (kill_bridge, False),
        "burst of 200": (burst, True),
    }

    def inject(self, kind):
        function, one_board = self.KINDS[kind]
        fault = Fault(kind, [self.faults_random.choice(BOARDS)] if one_board else list(BOARDS))
        self.log(f"fault: {kind} {fault.boards}")
        self.faults.append(fault)
        function(self, fault)
        fault.end = fault.end or time.time()
        self.wait_healed(fault)

    # --- healing, and the invariants: one function each -------------------------------------

    def healed(self, fault):
        """Every copy connected on the bus and online on the broker, the bridge online; after a
        fault that concerned a copy's presence or the broker's store, its availability and
        states published again since."""
        for node in (NODE, STEADY):
            bridge = self.view.get(f"vantrelo/{node}/bridge/state")
            if not bridge or bridge[1] != "online":
                return False
        republished = fault.kind in ("broker restarted", "bridge killed", "start")
        for n in BOARDS:
            availability = self.view.get(f"vantrelo/{NODE}/b{n}/availability")
            if not availability or availability[1] != "online":
                return False
            if republished and any(self.view.get(f"vantrelo/{node}/b{n}/{topic}", (0,))[0] < fault.end
                                   for node in (NODE, STEADY) if fault.kind != "bridge killed" or node == NODE
                                   for topic in ["availability"] + [f"output/{o}" for o in OUTPUTS]):
                return False
            if n in fault.boards and fault.kind in ("board unplugged", "service killed") and \
                    availability[0] < fault.start:
                return False
        copies = self.copies()
        return all(copies.get(f"b{n}", {}).get("connected") for n in BOARDS)

    def wait_healed(self, fault):
        fault.end = fault.end or time.time()
        while not self.healed(fault):
            self.check()
            if time.time() > fault.end + HEAL_LIMIT:
                raise Breach(f"{time.time() - self.began:.3f} s: not healed {HEAL_LIMIT:.0f} s after "
                             f"{fault.kind} {fault.boards}")
            time.sleep(0.05)
        fault.healed = time.time()

    def check_agreement(self):
        """Each output the same on the board, on the bus and retained on the broker; the state
        of the last command confirmed for it, when nothing came after that command."""
        copies, retained = self.copies(), self.retained()
        for n in BOARDS:
            bus = copies.get(f"b{n}", {}).get("outputs", [])
            for o in OUTPUTS:
                board = self.boards[n].states[o - 1]
                on_bus = bus[o - 1]["state"] if len(bus) >= o else "missing"
                for node in (NODE, STEADY):
                    on_broker = retained.get((node, n, o))
                    if on_bus != ("on" if board else "off") or on_broker != board:
                        raise Breach(f"{self.now()}: board {n} output {o}: the board says "
                                     f"{'on' if board else 'off'}, the bus {on_bus}, the broker for "
                                     f"{node} {'nothing' if on_broker is None else 'ON' if on_broker else 'OFF'}")
                expected = self.expected_state(n, o)
                if expected is not None and expected != board:
                    raise Breach(f"{self.now()}: board {n} output {o} is {'on' if board else 'off'}, "
                                 f"its last confirmed command left it {'on' if expected else 'off'}")

    def expected_state(self, n, o):
        """What the last command for the output left it as, when that command was confirmed and
        nothing else for it (another command, a power cut) could have come after it."""
        group = (3, 4) if n == 4 and o in (3, 4) else (o,)  # the emulated board's interlock
        concerning = [c for c in self.commands if c.board == n and (c.output in group or c.verb.startswith("all"))]
        if not concerning:
            return None
        last = concerning[-1]
        if last.way != "ctl" or last.outcome != "confirmed" or last.verb == "toggle" or \
                last.output not in (o, None) or \
                any(c.window_end() > last.sent for c in concerning[:-1]) or \
                any(f.kind == "board unplugged" and n in f.boards and f.start > last.sent for f in self.faults):
            return None
        if last.verb == "pulse":
            return False  # a pulse ended, a quiet point later
        if last.verb == "all on" and n == 4 and o in (3, 4):
            return None  # all on leaves an interlock group off
        return last.verb in ("on", "all on")

    def check_commands(self, until):
        """Nothing stale: every frame a board received belongs to a command whose sender had not
        been told it failed. Nothing lost: every confirmed command reached its board."""
        for n in BOARDS:
            board = self.boards[n]
            frames = [f for f in board.frames if COMMAND_FRAME.match(f[2]) and f[1] <= until]
            self.frames_seen += len(frames)
            board.frames = [f for f in board.frames if f[1] > until]
            commands = [c for c in self.commands if c.board == n and not c.matched and c.sent <= until]
            fits = [[i for i, c in enumerate(commands) if text in c.frames(board.device_id) and
                     c.sent - 0.005 <= at and earliest <= c.window_end()] for earliest, at, text in frames]
            matching = match(fits, len(commands))
            for (earliest, at, text), command in zip(frames, matching):
                if command is None:
                    raise Breach(f"{at - self.began:.3f} s: board {n} received {text}, which no command "
                                 "whose sender had not been told it failed asked for")
                commands[command].matched = True
            confirmed = [i for i, c in enumerate(commands) if c.outcome == "confirmed"]
            backwards = [[f for f, fit in enumerate(fits) if i in fit] for i in confirmed]
            for i, frame in zip(confirmed, match(backwards, len(frames))):
                if frame is None:
                    c = commands[i]
                    raise Breach(f"{c.sent - self.began:.3f} s: vantrelo-ctl {c.verb} "
                                 f"{c.output or ''} on board {n} was confirmed, and never reached it")
        with self.lock:
            self.commands_done += [c for c in self.commands if c.sent <= until]
            self.commands = [c for c in self.commands if c.sent > until]

    def check_messages(self):
        """No error the faults do not explain: a program's errors only while a fault concerning it
        lasted, and up to 5 s after it healed."""
        def concerns(fault, name):
            if name == "vantrelo-mqtt":
                return fault.kind in ("broker restarted", "bridge killed")
            if name == "vantrelo-mqtt (steady)":
                return fault.kind == "broker restarted"
            return fault.kind in ("board unplugged", "board silent", "service stopped",
                                  "service killed", "burst of 200") and name == f"vantrelod b{fault.boards[0]}"
        for program in [self.bridge, self.steady_bridge, *self.services.values()]:
            for at, line in program.errors:
                if not any(concerns(f, program.name) and f.start - 0.1 <= at <= (f.healed or time.time()) + 5
                           for f in self.faults):
                    raise Breach(f"{at - self.began:.3f} s: {program.name} said {line!r}")
            program.errors.clear()

    def measure(self):
        """At a quiet point: each process's memory and descriptors, the first time a minute or more
        after its start (its baseline), and the latest."""
        for program in [self.bridge, self.steady_bridge, *self.services.values()]:
            usage = program.usage()
            if not usage:
                continue
            key = (program.name, program.process.pid)
            if key not in self.usage and time.time() - program.started >= 60:
                self.usage[key] = [usage, usage, program.started]
            elif key in self.usage:
                self.usage[key][1] = usage

    def now(self):
        return f"{time.time() - self.began:.3f} s"

    # --- the run -----------------------------------------------------------------------------

    def run(self):
        self.start()
        minutes = self.args.minutes
        kinds = []
        while time.time() - self.began < minutes * 60:
            self.loading.set()
            loading_since = time.time()
            for _ in range(2):
                if not kinds:
                    kinds = sorted(self.KINDS)
                    self.faults_random.shuffle(kinds)
                time.sleep(self.faults_random.uniform(0.5, 2))
                self.inject(kinds.pop())
            self.load_seconds += time.time() - loading_since
            self.wait_for_quiet()
            self.check_point()
            self.measure()
        self.check_usage()
        return self.figures()

    def check_point(self):
        self.check()
        until = time.time()
        self.check_agreement()
        self.check_commands(until)
        self.check_messages()
        self.log("quiet point: agreed")

    def check_usage(self):
        """No growth: each service's and bridge's memory within 5 % of its value a minute after its
        start, and its descriptors the same, for every process that ran a minute or more."""
        for (name, pid), (first, last, started) in self.usage.items():
            if abs(last[0] - first[0]) > first[0] * 0.05 or last[1] != first[1]:
                raise Breach(f"{self.now()}: {name} went from {first[0]} KiB and {first[1]} "
                             f"descriptors a minute after its start to {last[0]} KiB and {last[1]} "
                             f"({', '.join(first[2])} to {', '.join(last[2])})")

    def figures(self):
        lines = [f"Soak: {self.args.minutes:g} minutes, seed {self.seed}", "",
                 "| Fault | Times | Healed in, median | Largest |", "|---|---|---|---|"]
        for kind in sorted(self.KINDS, key=str.lower):
            times = [f.healed - f.end for f in self.faults if f.kind == kind and f.healed]
            if times:
                lines.append(f"| {kind} | {len(times)} | {statistics.median(times):.2f} s | "
                             f"{max(times):.2f} s |")
        ctl = [c for c in self.commands_done if c.way == "ctl"]
        mqtt = [c for c in self.commands_done if c.way == "mqtt"]
        count = lambda items, condition: sum(1 for c in items if condition(c))
        lines += ["", "| Commands | Number |", "|---|---|",
                  f"| sent, while the load ran ({self.load_seconds:.0f} s) | {self.load_sent} "
                  f"({self.load_sent / max(self.load_seconds, 1):.1f} a second) |",
                  f"| through `vantrelo-ctl` | {len(ctl)} |",
                  f"| confirmed | {count(ctl, lambda c: c.outcome == 'confirmed')} |"]
        reasons = {}
        for c in ctl:
            if c.outcome != "confirmed":
                reasons[c.reason] = reasons.get(c.reason, 0) + 1
        lines += [f"| {reason} | {n} |" for reason, n in sorted(reasons.items())]
        lines += [f"| through MQTT, bursts included | {len(mqtt)} |",
                  f"| not published: the broker away | {count(mqtt, lambda c: c.outcome != 'published')} |",
                  f"| carried out | {count(mqtt, lambda c: c.matched)} |"]
        lines += [f"| refused to the bridge: {reason} | {n} |"
                  for reason, n in sorted(self.bridge_refusals.items())]
        lines += [f"| frames the boards received | {self.frames_seen} |", "| breaches | 0 |"]
        lines += ["", "| Program (process) | Resident, a minute after its start / at the end | "
                  "Descriptors | Change |", "|---|---|---|---|"]
        for (name, pid), (first, last, started) in sorted(self.usage.items()):
            if not any(p.name == name and p.process.pid == pid
                       for p in [self.bridge, self.steady_bridge, *self.services.values()]):
                continue  # killed on purpose since
            lines.append(f"| {name} ({time.time() - started:.0f} s) | {first[0]} / {last[0]} KiB | "
                         f"{first[1]} / {last[1]} | {(last[0] - first[0]) / first[0] * 100:+.1f} % |")
        return "\n".join(lines)


def match(fits, right_count):
    """A largest matching of the left items to the right ones each may take (Kuhn's augmenting
    paths): for each left item its right one, or None."""
    owner = [None] * right_count

    def augment(left, seen):
        for right in fits[left]:
            if right in seen:
                continue
            seen.add(right)
            if owner[right] is None or augment(owner[right], seen):
                owner[right] = left
                return True
        return False

    for left in range(len(fits)):
        augment(left, set())
    result = [None] * len(fits)
    for right, left in enumerate(owner):
        if left is not None:
            result[left] = right
    return result


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_for(condition, seconds, what):
    deadline = time.time() + seconds
    while not condition():
        if time.time() > deadline:
            raise Breach(f"{what} did not start")
        time.sleep(0.01)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--seed", type=int)
    args = parser.parse_args()
    sys.setrecursionlimit(100000)
    soak = Soak(args)
    try:
        table = soak.run()
    except Breach as breach:
        soak.stop()
        print(f"soak: BREACH at {breach} (seed {soak.seed}; messages in {soak.dir}/messages)", flush=True)
        return 1
    soak.stop()
    print(table)
    shutil.rmtree(soak.dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
