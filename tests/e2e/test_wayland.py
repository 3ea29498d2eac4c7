#!/usr/bin/env python3
"""kestavo on a headless Wayland compositor. There is no X input there, so the
buttons are pressed through AT-SPI actions; the bytes are checked at the far end."""

import contextlib
import os
import shutil
import subprocess
import tempfile

import atspi
import harness
from harness import CAPTION, CLIENT_SIZE, Pty, check, wait_closed, wait_for, wait_open

SOCKET = "kestavo-e2e"


@contextlib.contextmanager
def weston(log):
    """The environment of a running headless weston."""
    runtime_dir = tempfile.mkdtemp(prefix="kestavo-wayland-")  # 0700, as Wayland wants it
    env = {key: value for key, value in os.environ.items()
           if key not in ("DISPLAY", "WAYLAND_DISPLAY") and not key.startswith("KESTAVO_COM")}
    env.update(XDG_RUNTIME_DIR=runtime_dir)
    process = subprocess.Popen(["weston", "--backend=headless-backend.so", f"--socket={SOCKET}", "--idle-time=0"],
                               env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    try:
        wait_for(lambda: check(process.poll() is None, "weston exited") or
                 os.path.exists(os.path.join(runtime_dir, SOCKET)), 30, "weston's socket")
        yield dict(env, WAYLAND_DISPLAY=SOCKET)
    finally:
        process.terminate()
        process.wait(10)
        shutil.rmtree(runtime_dir, ignore_errors=True)


def connect_and_send_through_actions_at_fixed_size(options):
    pty, log = Pty(), tempfile.TemporaryFile()
    try:
        with weston(log) as env:
            env.update(atspi.bus_env(), QT_QPA_PLATFORM="wayland", KESTAVO_COM1=pty.path)
            with subprocess.Popen([options.exe], env=env, stdin=subprocess.DEVNULL, stdout=log,
                                  stderr=subprocess.STDOUT) as app:
                try:
                    window = atspi.window(app.pid, CAPTION)
                    check(atspi.size(window) == CLIENT_SIZE, f"the window is {atspi.size(window)} at start")
                    connect = atspi.find(window, "push button", "Verbinden")
                    atspi.press(connect)
                    wait_open(app.pid, pty)
                    wait_for(lambda: connect.name == "Trennen", 10, "the caption Trennen", interval=0.1)
                    atspi.press(atspi.find(window, "push button", "Senden (TxD)"))
                    pty.expect(b"A")
                    check(atspi.size(window) == CLIENT_SIZE, f"the window is {atspi.size(window)} when connected")
                    atspi.press(connect)
                    wait_closed(app.pid, pty)
                finally:
                    app.terminate()
                    app.wait(10)
                    # A killed kestavo cannot remove its lock file.
                    with contextlib.suppress(OSError), open(pty.lock_file) as lock:
                        if lock.readline().strip() == str(app.pid):
                            os.unlink(pty.lock_file)
    except BaseException:
        log.seek(0)
        print(f"--- weston and kestavo output ---\n{log.read().decode(errors='replace')}")
        raise
    finally:
        pty.close()
        log.close()


if __name__ == "__main__":
    harness.main([connect_and_send_through_actions_at_fixed_size], tools=("weston",) + atspi.TOOLS)
