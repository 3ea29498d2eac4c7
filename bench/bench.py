#!/usr/bin/env python3
"""Kestavo's figures side by side with a bare Qt window, CuteCom and GTKTerm,
all on one Xvfb display, every port a pseudo-terminal made here. Prints a
Markdown table; asserts nothing. Started by bench/run, which builds first."""

import argparse
import contextlib
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402  (the e2e harness: Xvfb, pseudo-terminals, driving kestavo)
from harness import CONNECT, SEND  # noqa: E402

SANDBOX = os.path.join(ROOT, "bench", "sandbox.sh")
PORTS = range(1, 11)
MIB = 1024 * 1024
SEND_BYTES = MIB
STARTUP_SETTLE_MS = 2000
STARTUP_LIMIT_MS = 30000
CONNECTED_SETTLE_S = 1.0
# What counts as "about nothing" for an idle process: 0.2 % of one core.
IDLE_SHARE = 0.002

# GTKTerm shows a modal "configuration created" box on its first start; this
# is the file it writes then, with the port and speed of the benchmark.
GTKTERM_RC = """[default]
port\t= {port}
speed\t= 9600
bits\t= 8
stopbits\t= 1
parity\t= none
flow\t= none
wait_delay\t= 0
wait_char\t= -1
rs485_rts_time_before_tx\t= 30
rs485_rts_time_after_tx\t= 30
echo\t= False
crlfauto\t= False
timestamp\t= False
font\t= "Monospace 12"
term_block_cursor\t= True
term_rows\t= 80
term_columns\t= 25
term_scrollback\t= 10000
term_visual_bell\t= True
term_foreground_red\t= 0.660000
term_foreground_blue\t= 0.660000
term_foreground_green\t= 0.660000
term_foreground_alpha\t= 1.000000
term_background_red\t= 0.000000
term_background_blue\t= 0.000000
term_background_green\t= 0.000000
term_background_alpha\t= 1.000000
"""


def log(message):
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def stats(values):
    return min(values), statistics.median(values), max(values)


def fmt(values, unit="", digits=1):
    low, mid, high = stats(values)
    return f"{low:.{digits}f} / **{mid:.{digits}f}** / {high:.{digits}f}{unit}"


def parse(line):
    return {key: value.strip('"') for key, value in re.findall(r'(\w+)=("[^"]*"|\S+)', line)}


def sandboxed(command, tmpfs_lock=False):
    """The command in a private mount namespace whose /dev holds no serial
    port, console or virtual terminal (see sandbox.sh)."""
    namespace = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        namespace[1:1] = ["--user", "--map-root-user"]
    env = ["env", "KESTAVO_BENCH_TMPFS_LOCK=1"] if tmpfs_lock else []
    return namespace + env + [SANDBOX] + command


class Bench:
    def __init__(self, options):
        self.options = options
        self.home = tempfile.mkdtemp(prefix="kestavo-bench-home-")
        os.makedirs(os.path.join(self.home, ".config"))
        self.display = harness.Display()
        self.ptys = {n: harness.Pty() for n in PORTS}
        self.results = {}
        self.notes = []

    def close(self):
        for pty in self.ptys.values():
            pty.close()
        self.display.close()
        shutil.rmtree(self.home, ignore_errors=True)

    def env(self, ports=None):
        env = {key: value for key, value in self.display.env.items() if not key.startswith("KESTAVO_COM")}
        env.update(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   XDG_RUNTIME_DIR=self.home, QT_QPA_PLATFORM="xcb")
        env.pop("SESSION_MANAGER", None)
        # Every port is mapped, always: nothing may fall back to detection.
        for n in PORTS:
            env[f"KESTAVO_COM{n}"] = (ports or {}).get(n, self.ptys[n].path)
        return env

    def bin(self, name):
        return os.path.join(self.options.bench_bin, name)

    # --- start-up and idle memory -------------------------------------------
    def programs(self):
        gtkterm_port = self.ptys[2].path
        with open(os.path.join(self.home, ".config", ".gtktermrc"), "w") as rc:
            rc.write(GTKTERM_RC.format(port=gtkterm_port))
        return {
            "Kestavo": ([self.options.exe], False),
            "Kestavo, /run/lock on tmpfs": ([self.options.exe], True),
            "bare Qt window": ([self.bin("bare_window")], False),
            "CuteCom": (["cutecom"], False),
            "GTKTerm": (["gtkterm", "-p", gtkterm_port, "-s", "9600"], False),
        }

    def probe(self, command, tmpfs_lock):
        result = subprocess.run(
            sandboxed([self.bin("startup_probe"), str(STARTUP_SETTLE_MS), str(STARTUP_LIMIT_MS)] + command,
                      tmpfs_lock),
            env=self.env(), capture_output=True, timeout=STARTUP_LIMIT_MS / 1000 + 30)
        # WM_NAME is Latin-1 (ICCCM STRING).
        result.stdout = result.stdout.decode("latin-1")
        result.stderr = result.stderr.decode(errors="replace")
        values = parse(result.stdout)
        if result.returncode != 0 or "startup_us" not in values:
            raise RuntimeError(f"{command[0]}: probe failed: {result.stdout} {result.stderr}")
        return values

    def startup(self):
        programs = self.programs()
        if not shutil.which("cutecom") or not shutil.which("gtkterm"):
            raise RuntimeError("cutecom and gtkterm must be installed (bench/run installs them)")
        times = {name: [] for name in programs}
        rss = {name: [] for name in programs}
        windows = {}
        # One start each to warm the caches, then the programs in turn, so
        # that drift on the machine spreads over all of them alike.
        for name, (command, tmpfs_lock) in programs.items():
            log(f"warm-up start of {name}")
            windows[name] = self.probe(command, tmpfs_lock).get("window", "")
        for run in range(self.options.runs):
            for name, (command, tmpfs_lock) in programs.items():
                values = self.probe(command, tmpfs_lock)
                times[name].append(int(values["startup_us"]) / 1000)
                rss[name].append(int(values["rss_kib"]) / 1024)
            log(f"start-up run {run + 1}/{self.options.runs} done")
        self.results["startup_ms"] = times
        self.results["idle_rss_mib"] = rss
        self.results["windows"] = windows

    # --- Form_Load alone --------------------------------------------------------
    def discovery(self):
        absent = {n: f"/nonexistent/kestavo-bench/com{n}" for n in PORTS}
        cases = {
            "ten ports present": (None, False),
            "ten ports present, /run/lock on tmpfs": (None, True),
            "ten ports absent": (absent, False),
        }
        out = {}
        for name, (ports, tmpfs_lock) in cases.items():
            command = [self.bin("bench_window"), "discovery", str(self.options.discovery_runs)]
            if tmpfs_lock:
                command = sandboxed(command, True)
            result = subprocess.run(command, env=self.env(ports), capture_output=True, text=True, timeout=300)
            rows = [parse(line) for line in result.stdout.splitlines() if line.startswith("run=")]
            if result.returncode != 0 or len(rows) != self.options.discovery_runs:
                raise RuntimeError(f"discovery ({name}) failed: {result.stdout} {result.stderr}")
            listed = {row["listed"] for row in rows}
            expected = "0" if ports else "10"
            if listed != {expected}:
                raise RuntimeError(f"discovery ({name}) listed {listed}, expected {expected}")
            out[name] = [float(row["form_load_us"]) for row in rows]
        self.results["discovery_us"] = out

    # --- sending 1 MiB ------------------------------------------------------------
    def throughput(self):
        out = {}
        for mode in ("cat", "send"):
            result = subprocess.run([self.bin("bench_window"), mode, str(SEND_BYTES), str(self.options.runs)],
                                    env=self.env(), capture_output=True, text=True, timeout=600)
            rows = [parse(line) for line in result.stdout.splitlines() if line.startswith("run=")]
            if result.returncode != 0 or len(rows) != self.options.runs:
                raise RuntimeError(f"bench_window {mode} failed: {result.stdout} {result.stderr}")
            if any(row["intact"] != "1" for row in rows):
                raise RuntimeError(f"bench_window {mode}: the far end did not get the bytes intact")
            out[mode] = rows
        self.results["cat_mib_s"] = [float(row["mib_per_s"]) for row in out["cat"]]
        self.results["send_mib_s"] = [float(row["mib_per_s"]) for row in out["send"]]
        self.results["stall_ms"] = [float(row["longest_stall_ms"]) for row in out["send"]]

    # --- memory connected and idle cost, on the real executable ---------------------
    def connected(self):
        options = types.SimpleNamespace(exe=self.options.exe, preload=None)
        rss, connected_cpu, vanished_cpu, lost_cpu = [], [], [], []
        for run in range(self.options.runs):
            ports = dict(self.ptys)
            ports[1] = harness.Pty()  # its far end goes away below
            app = harness.Kestavo(options, self.display, ports)
            try:
                app.click(CONNECT)
                app.wait_open(ports[1])
                time.sleep(CONNECTED_SETTLE_S)
                rss.append(rss_mib(app.pid))
                connected_cpu.append(cpu_over(app, self.options.idle_seconds))
                ports[1].close_far_end()
                vanished_cpu.append(cpu_over(app, self.options.idle_seconds))
                # Only a send finds out that the far end is gone; the box that
                # says so stays open while the time is measured.
                app.click(SEND)
                app.wait_box()
                lost_cpu.append(cpu_over(app, self.options.idle_seconds))
            finally:
                app.close()
                ports[1].close()
            log(f"connected run {run + 1}/{self.options.runs} done")
        self.results["connected_rss_mib"] = rss
        self.results["cpu_connected_ms"] = connected_cpu
        self.results["cpu_vanished_ms"] = vanished_cpu
        self.results["cpu_lost_ms"] = lost_cpu

    # --- the table ------------------------------------------------------------------------
    def table(self):
        r = self.results
        med = statistics.median
        start = r["startup_ms"]
        k, kt, bare, cute, gtk = (start[name] for name in (
            "Kestavo", "Kestavo, /run/lock on tmpfs", "bare Qt window", "CuteCom", "GTKTerm"))

        def verdict(ok):
            return "met" if ok else "**missed**"

        def ratio(a, b):
            return med(a) / med(b)

        def times(a, b, name, limit, at_most=True):
            value = ratio(a, b)
            return f"{value:.3f} × {name} ({verdict(value <= limit if at_most else value >= limit)})"

        rows = [
            ("start-up, Kestavo", fmt(k, " ms"), "≤ 1.2 × bare Qt, ≤ 0.6 × CuteCom and GTKTerm",
             ", ".join([times(k, bare, "bare", 1.2), times(k, cute, "CuteCom", 0.6), times(k, gtk, "GTKTerm", 0.6)])),
            ("start-up, Kestavo, /run/lock on tmpfs", fmt(kt, " ms"), "as above",
             ", ".join([times(kt, bare, "bare", 1.2), times(kt, cute, "CuteCom", 0.6),
                        times(kt, gtk, "GTKTerm", 0.6)])),
            ("start-up, bare Qt window", fmt(bare, " ms"), "", ""),
            ("start-up, CuteCom", fmt(cute, " ms"), "", ""),
            ("start-up, GTKTerm", fmt(gtk, " ms"), "", ""),
        ]
        for name, values in r["discovery_us"].items():
            rows.append((f"discovery (Form_Load), {name}", fmt(values, " µs", 0), "≤ 10 ms",
                         verdict(med(values) <= 10_000)))
        idle = r["idle_rss_mib"]
        rows += [
            ("memory, Kestavo idle", fmt(idle["Kestavo"], " MiB"), "≤ 40 MiB", verdict(max(idle["Kestavo"]) <= 40)),
            ("memory, Kestavo connected", fmt(r["connected_rss_mib"], " MiB"), "≤ 40 MiB",
             verdict(max(r["connected_rss_mib"]) <= 40)),
            ("memory, bare Qt window idle", fmt(idle["bare Qt window"], " MiB"), "", ""),
            ("memory, CuteCom idle (not connected)", fmt(idle["CuteCom"], " MiB"), "", ""),
            ("memory, GTKTerm idle (pty closed again by itself)", fmt(idle["GTKTerm"], " MiB"), "", ""),
            ("send 1 MiB, Kestavo", fmt(r["send_mib_s"], " MiB/s"), "≥ 0.5 × cat",
             times(r["send_mib_s"], r["cat_mib_s"], "cat", 0.5, at_most=False)),
            ("send 1 MiB, cat", fmt(r["cat_mib_s"], " MiB/s"), "", ""),
            ("longest event-loop stall while 1 MiB drains", fmt(r["stall_ms"], " ms", 2), "≤ 20 ms",
             verdict(max(r["stall_ms"]) <= 20)),
            (f"CPU over {self.options.idle_seconds:g} s, connected and idle", fmt(r["cpu_connected_ms"], " ms", 2),
             "≈ 0 (≤ 0.2 % of a core)", verdict(med(r["cpu_connected_ms"]) <= IDLE_SHARE * self.options.idle_seconds * 1000)),
            (f"CPU over {self.options.idle_seconds:g} s, far end vanished, idle", fmt(r["cpu_vanished_ms"], " ms", 2),
             "≈ 0 (≤ 0.2 % of a core)", verdict(med(r["cpu_vanished_ms"]) <= IDLE_SHARE * self.options.idle_seconds * 1000)),
            (f"CPU over {self.options.idle_seconds:g} s, far end vanished, after one send (error box open)",
             fmt(r["cpu_lost_ms"], " ms", 2), "≈ 0 (≤ 0.2 % of a core)",
             verdict(med(r["cpu_lost_ms"]) <= IDLE_SHARE * self.options.idle_seconds * 1000)),
        ]
        lines = ["| figure | min / **median** / max | target | result |", "| --- | --- | --- | --- |"]
        lines += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows]
        return "\n".join(lines)


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"no VmRSS for {pid}")


def cpu_ns(pid):
    """CPU time of all the process's threads, in ns (schedstat: finer than
    the 10 ms ticks of /proc/PID/stat)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/task/{task}/schedstat") as schedstat:
                total += int(schedstat.read().split()[0])
    return total


def cpu_over(app, seconds):
    before = cpu_ns(app.pid)
    time.sleep(seconds)
    return (cpu_ns(app.pid) - before) / 1e6


def machine():
    model = "unknown CPU"
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo") as info:
            found = re.search(r"^model name\s*:\s*(.+)$", info.read(), re.M)
            model = found[1].strip() if found else model
    debian = "Debian"
    with contextlib.suppress(OSError):
        with open("/etc/debian_version") as version:
            debian = f"Debian {version.read().strip()}"
    qt = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libqt6core6"], capture_output=True,
                        text=True).stdout or "?"
    peers = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${Version}, ", "cutecom", "gtkterm"],
                           capture_output=True, text=True).stdout.rstrip(", ")
    lock_fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", "/run/lock"], capture_output=True,
                             text=True).stdout.strip()
    return (f"{os.cpu_count()} × {model}, {debian}, kernel {platform.release()}, Qt {qt}, {peers}; "
            f"/run/lock on {lock_fs or '?'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True, help="the kestavo executable (default preset)")
    parser.add_argument("--bench-bin", required=True, help="folder with the bench programs")
    parser.add_argument("--runs", type=int, default=9, help="runs per figure (at least 7)")
    parser.add_argument("--discovery-runs", type=int, default=15)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--output", help="also write the table there")
    options = parser.parse_args()
    if options.runs < 7:
        parser.error("at least 7 runs per figure")

    bench = Bench(options)
    try:
        log(f"display {bench.display.name}; COM 1 … COM 10 on {', '.join(p.path for p in bench.ptys.values())}")
        log("start-up and idle memory")
        bench.startup()
        log("discovery")
        bench.discovery()
        log("1 MiB send")
        bench.throughput()
        log("connected memory and idle cost")
        bench.connected()
    finally:
        bench.close()

    report = "\n".join([
        f"Measured {datetime.date.today().isoformat()} on {machine()}.",
        f"Runs per figure: {options.runs} (discovery: {options.discovery_runs} in one process), after one "
        "warm-up start of each program.",
        "",
        bench.table(),
        "",
        "How: start-up is fork/exec until the X server reports the first top-level window viewable (MapNotify "
        "on the root, no window manager; bench/startup_probe.c), every program in a private /dev without serial "
        "ports (bench/sandbox.sh), Kestavo with KESTAVO_COM1..10 on pseudo-terminals; idle memory is VmRSS 2 s "
        "after that. Discovery is Form_Load alone on a fresh window (bench_window discovery, real QtSerialLine). "
        "Sending is bench_window send: the window's own click on Senden (TxD) with a 1 MiB text in the box, until "
        "the last byte is read at the pty master, with a 1 ms timer measuring the longest gap in the event loop; "
        "cat is cat(1) of the same bytes into a raw pty of the same kind. Connected memory and CPU are the real "
        "executable driven through xdotool (tests/e2e/harness.py), CPU summed from /proc/PID/task/*/schedstat.",
        "",
        "Windows seen at start-up: " + "; ".join(f"{name}: “{title}”" for name, title in
                                                 bench.results["windows"].items()),
    ])
    print(report)
    if options.output:
        with open(options.output, "w") as out:
            out.write(report + "\n")


if __name__ == "__main__":
    main()
