"""Drives the real kestavo executable under Xvfb with real X input (xdotool)
and watches the far ends of the pseudo-terminals it is given as COM ports.

No window manager runs: the window is unmanaged, so its outer geometry is its
client area, and keyboard focus is set explicitly with XSetInputFocus."""

import argparse
import collections
import contextlib
import fcntl
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time
import traceback

CAPTION = "Kestavo für zor by MERIDAX"
CLIENT_SIZE = (312, 206)

# Client-area rectangles (x, y, w, h) of the controls.
COMBO = (24, 24, 89, 21)
CONNECT = (136, 20, 73, 29)
TEXT = (24, 72, 261, 19)
SEND = (196, 104, 89, 29)
RTS = (24, 104, 113, 21)
DTR = (24, 132, 113, 21)

# Typed characters that the server's default US keymap lacks.
EXTRA_KEYSYMS = ("udiaeresis", "ssharp", "EuroSign")

# libdbus, which only the xcb platform plugin loads (never the offscreen one of
# the other tests), leaks one buffer of its own at start-up.
DESKTOP_LEAKS = "leak:libdbus-1.so\n"

LOCK_DIR = "/run/lock"
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


# One event of the line emulation (tools/line_monitor/line_emulation_protocol.h);
# levels are bit sets, DTR 1 and RTS 2.
LineEvent = collections.namedtuple("LineEvent", "ns kind before after count path")
DTR_BIT, RTS_BIT = 1, 2


class TestFailure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise TestFailure(message)


def wait_for(predicate, timeout, what, interval=0.02):
    """Polls predicate until it returns something truthy; fails naming `what`."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TestFailure(f"timed out after {timeout:.1f} s waiting for {what}")
        time.sleep(interval)


def stays(predicate, duration, what, interval=0.02):
    """Fails as soon as predicate turns false within duration."""
    deadline = time.monotonic() + duration
    while time.monotonic() < deadline:
        check(predicate(), f"{what} stopped holding")
        time.sleep(interval)


class Pty:
    """A pseudo-terminal pair; the slave path is what kestavo gets as a COM port.

    The test also keeps the slave open: without any slave opener the master
    reads fail with EIO after kestavo's probe closes its fd. The master's own
    termios is left alone, because on Linux tcsetattr on the master changes
    the slave's, which is exactly what kestavo has to set."""

    def __init__(self):
        self.master, self.keeper = os.openpty()
        self.path = os.ttyname(self.keeper)
        # Like a serial port, and unlike a fresh pseudo-terminal, it hangs up
        # (drops DTR and RTS) at the last close.
        attributes = termios.tcgetattr(self.keeper)
        attributes[2] |= termios.HUPCL
        termios.tcsetattr(self.keeper, termios.TCSANOW, attributes)
        os.set_blocking(self.master, False)

    @property
    def lock_file(self):
        return os.path.join(LOCK_DIR, "LCK.." + self.path[len("/dev/"):].replace("/", "_"))

    def termios(self):
        return termios.tcgetattr(self.master)

    def read_now(self):
        data = b""
        while self.master is not None:
            try:
                chunk = os.read(self.master, 4096)
            except BlockingIOError:
                break
            except OSError:  # EIO: no slave opener right now
                break
            if not chunk:
                break
            data += chunk
        return data

    def _read_for(self, seconds):
        data = b""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return data
            readable, _, _ = select.select([self.master], [], [], min(left, 0.05))
            if readable:
                chunk = self.read_now()
                data += chunk
                if not chunk:
                    time.sleep(0.01)

    def expect(self, expected, timeout=10.0, quiet=0.3):
        """The bytes arriving from now on must be exactly `expected`; after
        they are complete, nothing more may come within `quiet` seconds."""
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < len(expected) and time.monotonic() < deadline:
            data += self._read_for(0.05)
        data += self._read_for(quiet)
        check(data == expected,
              f"{self.path}: expected bytes {expected.hex(' ') or '(none)'}, got {data.hex(' ') or '(none)'}")

    def expect_nothing(self, duration=0.3):
        data = self._read_for(duration)
        check(data == b"", f"{self.path}: expected no bytes, got {data.hex(' ')}")

    def try_flock(self):
        """Returns an fd holding flock(LOCK_EX) on the slave, or None when
        another open file description holds it."""
        fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            return None
        return fd

    def close_far_end(self):
        for name in ("master", "keeper"):
            fd = getattr(self, name)
            if fd is not None:
                os.close(fd)
                setattr(self, name, None)

    close = close_far_end


class Display:
    def __init__(self):
        read_end, write_end = os.pipe()
        self.log = tempfile.TemporaryFile()
        # -noreset: the server must not reset when the last xdotool call
        # disconnects just as kestavo connects.
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=self.log)
        os.close(write_end)
        try:
            number = b""
            while not number.endswith(b"\n"):
                readable, _, _ = select.select([read_end], [], [], 20)
                chunk = os.read(read_end, 32) if readable else b""
                check(chunk, "Xvfb did not report its display number")
                number += chunk
        finally:
            os.close(read_end)
        self.name = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.name)
        self._bind_extra_keysyms()

    def _bind_extra_keysyms(self):
        """Puts EXTRA_KEYSYMS on unused keycodes before kestavo starts.

        Otherwise xdotool binds a scratch keycode per character and unbinds it
        right after the key release; a busy client that reads the keymap only
        then gets a key without a symbol and drops the character."""
        keymap = subprocess.run(["xkbcomp", "-w", "0", "-xkb", self.name, "-"], capture_output=True,
                                text=True, timeout=30, check=True).stdout
        codes = dict(re.findall(r"^\s*<(\w+)>\s*=\s*(\d+);", keymap, re.M))
        aliases = dict(re.findall(r"^\s*alias\s*<(\w+)>\s*=\s*<(\w+)>;", keymap, re.M))
        used = {aliases.get(name, name) for name in re.findall(r"^\s*key\s*<(\w+)>", keymap, re.M)}
        free = sorted((name for name in codes if name not in used), key=lambda name: -int(codes[name]))
        check(len(free) >= len(EXTRA_KEYSYMS), "no unused keycodes for the extra keysyms")
        lines = "".join(f"    key <{name}> {{ [ {sym} ] }};\n" for name, sym in zip(free, EXTRA_KEYSYMS))
        patched, count = re.subn(r"^(xkb_symbols\b.*\{\n)", lambda m: m[1] + lines, keymap, count=1,
                                 flags=re.M)
        check(count == 1, "no xkb_symbols section in the server's keymap")
        subprocess.run(["xkbcomp", "-w", "0", "-", self.name], input=patched, capture_output=True, text=True,
                       timeout=30, check=True)

    def run(self, *args, check_rc=True):
        result = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=30)
        if check_rc and result.returncode != 0:
            raise TestFailure(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")
        return result.stdout

    def windows_named(self, title):
        out = self.run("search", "--onlyvisible", "--name", "^" + re.escape(title) + "$", check_rc=False)
        return [int(w) for w in out.split()]

    def visible_windows(self):
        names = {}
        for window in self.run("search", "--onlyvisible", "--name", "", check_rc=False).split():
            names[int(window)] = self.run("getwindowname", window, check_rc=False).rstrip("\n")
        return names

    def geometry(self, window):
        out = subprocess.run(["xwininfo", "-id", str(window)], env=self.env, capture_output=True,
                             text=True, timeout=30).stdout
        fields = dict(re.findall(r"^\s*([A-Za-z -]+):\s+(-?\d+)\s*$", out, re.M))
        return {key: int(fields[name]) for key, name in
                (("x", "Absolute upper-left X"), ("y", "Absolute upper-left Y"),
                 ("width", "Width"), ("height", "Height"))}

    def describe(self):
        self.log.seek(0)
        state = "running" if self.process.poll() is None else f"exited with {self.process.returncode}"
        return f"Xvfb {self.name} {state}; its output:\n{self.log.read().decode(errors='replace')}"

    def close_window(self, window):
        """Sends WM_DELETE_WINDOW, as a window manager does for the close button.
        xdotool of Debian 12 only destroys windows, so this speaks X11 itself."""
        number = self.name.lstrip(":").split(".")[0]
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as x:
            x.settimeout(10)
            x.connect(f"/tmp/.X11-unix/X{number}")
            x.sendall(struct.pack("<BxHHHHxx", 0x6C, 11, 0, 0, 0))
            head = _recv_exactly(x, 8)
            check(head[0] == 1, "the X server refused the connection")
            _recv_exactly(x, struct.unpack_from("<H", head, 6)[0] * 4)

            def intern(name):
                data = name.encode() + b"\0" * (-len(name) % 4)
                x.sendall(struct.pack("<BBHHxx", 16, 0, 2 + len(data) // 4, len(name)) + data)
                reply = _recv_exactly(x, 32)
                check(reply[0] == 1, f"InternAtom {name} failed")
                return struct.unpack_from("<I", reply, 8)[0]

            protocols, delete = intern("WM_PROTOCOLS"), intern("WM_DELETE_WINDOW")
            event = struct.pack("<BBHII5I", 33, 32, 0, window, protocols, delete, 0, 0, 0, 0)
            x.sendall(struct.pack("<BBHII", 25, 0, 11, window, 0) + event)
            # GetInputFocus as a round trip: its reply proves the event went out.
            x.sendall(struct.pack("<BxH", 43, 1))
            check(_recv_exactly(x, 32)[0] == 1, "SendEvent of WM_DELETE_WINDOW failed")

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()


def _recv_exactly(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        check(chunk, "the X server closed the connection")
        data += chunk
    return data


def open_fds(pid, pty):
    count = 0
    fd_dir = f"/proc/{pid}/fd"
    for name in os.listdir(fd_dir):
        with contextlib.suppress(OSError):
            if os.readlink(os.path.join(fd_dir, name)) == pty.path:
                count += 1
    return count


def wait_open(pid, pty, timeout=15):
    wait_for(lambda: open_fds(pid, pty) > 0 and os.path.exists(pty.lock_file), timeout,
             f"kestavo to hold {pty.path} open with lock file {pty.lock_file}")


def wait_closed(pid, pty, timeout=15):
    wait_for(lambda: open_fds(pid, pty) == 0 and not os.path.exists(pty.lock_file), timeout,
             f"kestavo to release {pty.path} and its lock file")


def _center(rect):
    x, y, w, h = rect
    return x + w // 2, y + h // 2


class Kestavo:
    """One run of the executable with the given ports: {COM number: Pty}."""

    def __init__(self, options, display, ports, preload=False, extra_env=None):
        check(ports, "every run must map at least one KESTAVO_COMn, or kestavo would probe real devices")
        self.display = display
        self.ports = ports
        self.runtime_dir = tempfile.mkdtemp(prefix="kestavo-e2e-")
        env = {key: value for key, value in display.env.items() if not key.startswith("KESTAVO_COM")}
        env.update(QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=self.runtime_dir)
        for number, pty in ports.items():
            env[f"KESTAVO_COM{number}"] = pty.path
        self.events_fd, events_writer = None, None
        self._events, self._partial = [], b""
        if preload:
            # The ports get modem-control lines, and their events come back here.
            self.events_fd, events_writer = os.pipe()
            os.set_blocking(self.events_fd, False)
            env.update(LD_PRELOAD=options.preload, KESTAVO_LINE_EVENTS_FD=str(events_writer),
                       KESTAVO_LINE_PATHS=":".join(pty.path for pty in ports.values()))
            # Under AddressSanitizer the preloaded library comes before libasan.
            asan = env.get("ASAN_OPTIONS", "")
            env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        env.update(extra_env or {})
        env["LSAN_OPTIONS"] = self._with_desktop_suppressions(env.get("LSAN_OPTIONS", ""))
        self.log_path = os.path.join(self.runtime_dir, "kestavo.log")
        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen([options.exe], env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=subprocess.STDOUT,
                                        pass_fds=(events_writer,) if events_writer is not None else ())
        if events_writer is not None:
            os.close(events_writer)
        self.pid = self.process.pid
        self.window = wait_for(self._main_window, 30, f"a viewable window titled {CAPTION!r}")
        # The combo box only changes with focus in the window.
        self.focus(self.window)

    def _with_desktop_suppressions(self, options):
        """LSAN_OPTIONS naming the project's suppressions plus DESKTOP_LEAKS."""
        parts = [part for part in options.split(":") if part]
        kept = [part for part in parts if not part.startswith("suppressions=")]
        text = ""
        for part in parts:
            if part.startswith("suppressions="):
                with open(part.split("=", 1)[1]) as project:
                    text += project.read().rstrip("\n") + "\n"
        path = os.path.join(self.runtime_dir, "lsan.supp")
        with open(path, "w") as combined:
            combined.write(text + DESKTOP_LEAKS)
        return ":".join(kept + [f"suppressions={path}"])

    def _main_window(self):
        self.check_alive()
        found = self.display.windows_named(CAPTION)
        return found[0] if len(found) == 1 else None

    def line_events(self, pty=None):
        """Every line event so far, oldest first; only pty's when given."""
        while self.events_fd is not None:
            try:
                chunk = os.read(self.events_fd, 65536)
            except BlockingIOError:
                break
            if not chunk:
                break
            self._partial += chunk
        *lines, self._partial = self._partial.split(b"\n")
        for line in lines:
            ns, kind, before, after, count, path = line.decode().split(" ", 5)
            self._events.append(LineEvent(int(ns), kind, int(before), int(after), int(count), path))
        return [event for event in self._events if pty is None or event.path == pty.path]

    def output(self):
        with open(self.log_path, "rb") as log:
            return log.read().decode(errors="replace")

    def check_alive(self):
        code = self.process.poll()
        check(code is None,
              f"kestavo exited with {code}; its output:\n{self.output()}\n{self.display.describe()}")

    def check_clean(self):
        text = self.output()
        check(not any(mark in text for mark in SANITIZER_MARKS), f"sanitizer report from kestavo:\n{text}")

    # --- input -----------------------------------------------------------
    def focus(self, window):
        self.display.run("windowfocus", "--sync", str(window))

    def click(self, rect, window=None):
        x, y = _center(rect)
        self.display.run("mousemove", "--window", str(window or self.window), str(x), str(y), "click", "1")

    def keys(self, *names, window=None):
        # Focus reverts to the root window when a box closes: set it every time.
        self.focus(window or self.window)
        self.display.run("key", "--delay", "30", *names)

    def type_text(self, text):
        self.focus(self.window)
        self.display.run("type", "--delay", "30", "--", text)

    def set_text(self, text):
        """Replaces the content of the text box as a user would."""
        self.click(TEXT)
        self.keys("ctrl+a", "BackSpace")
        if text:
            self.type_text(text)

    # --- state seen from outside ----------------------------------------
    def open_fds(self, pty):
        return open_fds(self.pid, pty)

    def wait_open(self, pty, timeout=15):
        wait_open(self.pid, pty, timeout)

    def wait_closed(self, pty, timeout=15):
        wait_closed(self.pid, pty, timeout)

    def boxes(self):
        return [w for w in self.display.windows_named(CAPTION) if w != self.window]

    def wait_box(self, timeout=15):
        try:
            found = wait_for(self.boxes, timeout, "an error box")
        except TestFailure as error:
            raise TestFailure(f"{error}; viewable windows: {self.display.visible_windows()}") from None
        check(len(found) == 1, f"expected one error box, found {len(found)}")
        return found[0]

    def dismiss_box(self, box):
        self.keys("Return", window=box)
        wait_for(lambda: box not in self.boxes(), 10, "the error box to close after Return")

    def expect_no_box(self, duration=1.0):
        stays(lambda: not self.boxes(), duration, "no error box")

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        # utime and stime are fields 14 and 15; fields[0] here is field 3.
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def own_lock_files(self):
        owned = []
        for pty in self.ports.values():
            with contextlib.suppress(OSError):
                with open(pty.lock_file) as lock:
                    if lock.readline().strip() == str(self.pid):
                        owned.append(pty.lock_file)
        return owned

    def quit(self):
        """Closes the window as a user would; kestavo must exit cleanly, which
        under the sanitizer preset includes the leak check at exit."""
        self.check_alive()
        for box in self.boxes():
            self.dismiss_box(box)
        self.display.close_window(self.window)
        try:
            code = self.process.wait(30)
        except subprocess.TimeoutExpired:
            raise TestFailure("kestavo did not exit within 30 s of its window being closed") from None
        check(code == 0, f"kestavo exited with {code} after its window was closed; its output:\n{self.output()}")
        self.check_clean()
        left = self.own_lock_files()
        check(not left, f"kestavo left its lock files behind: {left}")

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        # A killed kestavo cannot remove its lock files.
        for path in self.own_lock_files():
            os.unlink(path)
        self.log.close()
        if self.events_fd is not None:
            os.close(self.events_fd)
            self.events_fd = None
        shutil.rmtree(self.runtime_dir, ignore_errors=True)


@contextlib.contextmanager
def session(options, port_numbers, preload=False, extra_env=None):
    """Xvfb, one pty per COM number, and kestavo; all torn down afterwards."""
    display = Display()
    ptys = {}
    app = None
    try:
        for number in port_numbers:
            ptys[number] = Pty()
        app = Kestavo(options, display, ptys, preload=preload, extra_env=extra_env)
        yield app
        app.quit()
    except BaseException:
        if app is not None and app.output():
            sys.stderr.write(f"--- kestavo output ---\n{app.output()}\n")
        raise
    finally:
        if app is not None:
            app.close()
        for pty in ptys.values():
            pty.close()
        display.close()


X_TOOLS = ("Xvfb", "xdotool", "xwininfo", "xprop", "xkbcomp")


def main(cases, tools=X_TOOLS):
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--preload", required=True)
    parser.add_argument("cases", nargs="*", help="names of the cases to run (default: all)")
    options = parser.parse_args()
    for tool in tools:
        check(shutil.which(tool), f"{tool} is missing: install the packages in apt-packages.txt")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    selected = [case for case in cases if not options.cases or case.__name__ in options.cases]
    failed = 0
    for case in selected:
        start = time.monotonic()
        try:
            case(options)
        except Exception as error:  # noqa: BLE001 - every failure is reported per case
            failed += 1
            print(f"FAIL {case.__name__} ({time.monotonic() - start:.1f} s): {error}")
            if not isinstance(error, TestFailure):
                traceback.print_exc()
        else:
            print(f"PASS {case.__name__} ({time.monotonic() - start:.1f} s)")
        sys.stdout.flush()
    print(f"{len(selected) - failed} passed, {failed} failed")
    sys.exit(1 if failed or not selected else 0)
