#!/usr/bin/env python3
"""kestavo on a headless Wayland compositor. There is no X input there, so the
buttons are pressed through AT-SPI actions; the bytes are checked at the far end."""

import os
import shutil
import subprocess
import tempfile

import atspi
import harness
from harness import CAPTION, CLIENT_SIZE, Pty, check, wait_closed, wait_for, wait_open

SOCKET = "kestavo-e2e"


class Compositor:
    def __init__(self):
        self.runtime_dir = tempfile.mkdtemp(prefix="kestavo-wayland-")  # 0700, as Wayland requires
        self.env = {"XDG_RUNTIME_DIR": self.runtime_dir, "WAYLAND_DISPLAY": SOCKET}
        self.log = tempfile.TemporaryFile()
        env = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(self.env)
        self.process = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", f"--socket={SOCKET}", "--idle-time=0"],
            env=env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        wait_for(self._ready, 30, "weston to open its socket")

    def _ready(self):
        check(self.process.poll() is None, f"weston exited with {self.process.returncode}: {self.output()}")
        return os.path.exists(os.path.join(self.runtime_dir, SOCKET))

    def output(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        self.log.close()
        shutil.rmtree(self.runtime_dir, ignore_errors=True)


def connect_and_send_through_actions_at_fixed_size(options):
    compositor, pty, app = Compositor(), Pty(), None
    try:
        env = {key: value for key, value in os.environ.items()
               if key != "DISPLAY" and not key.startswith("KESTAVO_COM")}
        env.update(compositor.env)
        env.update(atspi.bus().env, QT_QPA_PLATFORM="wayland", KESTAVO_COM1=pty.path)
        app = subprocess.Popen([options.exe], env=env, stdin=subprocess.DEVNULL, stdout=compositor.log,
                               stderr=subprocess.STDOUT)
        window = atspi.window(app.pid, CAPTION)
        check(atspi.size(window) == CLIENT_SIZE, f"the window is {atspi.size(window)} at start")

        connect = atspi.find(window, "push button", "Verbinden")
        atspi.press(connect)
        wait_open(app.pid, pty)
        wait_for(lambda: connect.name == "Trennen", 10, "the caption Trennen", interval=0.1)
        atspi.press(atspi.find(window, "push button", "Senden (TxD)"))
        pty.expect(b"A")
        check(atspi.size(window) == CLIENT_SIZE, f"the window is {atspi.size(window)} once connected")

        atspi.press(connect)
        wait_closed(app.pid, pty)
        check(app.poll() is None, f"kestavo exited with {app.returncode}: {compositor.output()}")
    finally:
        if app is not None:
            app.terminate()
            app.wait(10)
            # A killed kestavo cannot remove its lock file.
            if os.path.exists(pty.lock_file):
                with open(pty.lock_file) as lock:
                    if lock.readline().strip() == str(app.pid):
                        os.unlink(pty.lock_file)
        pty.close()
        compositor.close()


if __name__ == "__main__":
    harness.main([connect_and_send_through_actions_at_fixed_size], tools=("weston",))
