#!/usr/bin/env python3
"""DTR and RTS through the real executable, with pseudo-terminals given
modem-control lines by the preloaded fake_modem_lines library."""

import os
import re
import subprocess
import sys
import tempfile
import textwrap

import harness
from harness import CONNECT, DTR, RTS, check, session, wait_for

LINE = re.compile(r"^(\S+) DTR=([01]) RTS=([01])( open)?$")


class ModemLog:
    def __init__(self, path, device):
        self.path = path
        self.device = device

    def entries(self):
        """[(dtr, rts, is_open)] for the device, oldest first."""
        if not os.path.exists(self.path):
            return []
        found = []
        with open(self.path) as log:
            for text in log:
                match = LINE.match(text.rstrip("\n"))
                check(match, f"unreadable line in the modem log: {text!r}")
                if match[1] == self.device:
                    found.append((int(match[2]), int(match[3]), bool(match[4])))
        return found

    def opens(self):
        return sum(1 for entry in self.entries() if entry[2])

    def since_last_open(self):
        entries = self.entries()
        starts = [i for i, entry in enumerate(entries) if entry[2]]
        return [entry[:2] for entry in entries[starts[-1] + 1:]] if starts else None

    def state(self):
        entries = self.entries()
        return entries[-1][:2] if entries else None

    def dump(self):
        with open(self.path) as log:
            return log.read()


def preload_library_emulates_the_lines(options):
    """The library on its own, so that a failure below is not blamed on kestavo."""
    with tempfile.TemporaryDirectory() as scratch:
        log_path = os.path.join(scratch, "modem.log")
        probe = textwrap.dedent("""
            import array, errno, fcntl, os, termios
            def get(fd):
                bits = array.array("i", [0])
                fcntl.ioctl(fd, termios.TIOCMGET, bits, True)
                return bits[0] & (termios.TIOCM_DTR | termios.TIOCM_RTS)
            def change(fd, request, bits):
                fcntl.ioctl(fd, request, array.array("i", [bits]), True)
            master, slave = os.openpty()
            path = os.ttyname(slave)
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
            assert get(fd) == termios.TIOCM_DTR | termios.TIOCM_RTS, "not both high at open"
            change(fd, termios.TIOCMBIC, termios.TIOCM_DTR)
            assert get(fd) == termios.TIOCM_RTS, "TIOCMBIC did not lower DTR only"
            change(fd, termios.TIOCMBIS, termios.TIOCM_DTR)
            change(fd, termios.TIOCMSET, termios.TIOCM_DTR)
            assert get(fd) == termios.TIOCM_DTR, "TIOCMSET did not set the lines"
            os.close(fd)
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
            assert get(fd) == termios.TIOCM_DTR | termios.TIOCM_RTS, "a new open kept the old levels"
            read_end, write_end = os.pipe()
            try:
                get(read_end)
            except OSError as error:
                assert error.errno == errno.ENOTTY, error
            else:
                raise AssertionError("a pipe got modem lines")
            print(path)
        """)
        env = dict(os.environ, LD_PRELOAD=options.preload, FAKE_MODEM_LOG=log_path)
        # Built with the sanitizer preset, the library drags libasan in after python.
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0"
        result = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True, text=True,
                                timeout=60)
        check(result.returncode == 0, f"probe under the preload failed:\n{result.stdout}{result.stderr}")
        device = result.stdout.strip()
        got = ModemLog(log_path, device).entries()
        want = [(1, 1, True), (0, 1, False), (1, 1, False), (1, 0, False), (1, 1, True)]
        check(got == want, f"modem log for {device}: {got}, expected {want}")


def dtr_and_rts_follow_the_check_boxes_and_every_open(options):
    with tempfile.TemporaryDirectory() as scratch:
        log_path = os.path.join(scratch, "modem.log")
        with session(options, [1], preload=True, extra_env={"FAKE_MODEM_LOG": log_path}) as app:
            pty = app.ports[1]
            log = ModemLog(log_path, pty.path)
            level = {"DTR": 0, "RTS": 0}

            def connect():
                opens = log.opens()
                app.click(CONNECT)
                app.wait_open(pty)
                want = (level["DTR"], level["RTS"])
                # The kernel raises both lines at open: a low level here was set.
                wait_for(lambda: log.opens() > opens and log.since_last_open()
                         and log.since_last_open()[-1] == want, 10,
                         f"DTR={want[0]} RTS={want[1]} right after opening {pty.path};"
                         f" log so far:\n{log.dump() if os.path.exists(log_path) else '(empty)'}")

            def disconnect():
                app.click(CONNECT)
                app.wait_closed(pty)

            def toggle(name):
                rect, other = (DTR, "RTS") if name == "DTR" else (RTS, "DTR")
                seen = len(log.entries())
                level[name] ^= 1
                want = (level["DTR"], level["RTS"])
                app.click(rect)
                wait_for(lambda: log.state() == want, 10,
                         f"DTR={want[0]} RTS={want[1]} after clicking {name}; log:\n{log.dump()}")
                changed = log.entries()[seen:]
                index = 1 if other == "RTS" else 0
                check(all(entry[index] == level[other] and not entry[2] for entry in changed),
                      f"clicking {name} touched {other} or reopened the port: {changed}")

            connect()
            toggle("DTR")
            toggle("RTS")
            toggle("DTR")
            toggle("RTS")
            toggle("DTR")
            disconnect()
            connect()
            toggle("RTS")
            toggle("DTR")
            disconnect()
            connect()
            app.expect_no_box(0.3)


if __name__ == "__main__":
    harness.main([preload_library_emulates_the_lines, dtr_and_rts_follow_the_check_boxes_and_every_open])
