#!/usr/bin/env python3
"""The main window as it comes up: caption, fixed size, controls idle until connected."""

import re
import subprocess

import harness
from harness import CAPTION, CLIENT_SIZE, CONNECT, DTR, RTS, SEND, check, session


def window_has_caption_and_fixed_client_area(options):
    with session(options, [1]) as app:
        title = subprocess.run(["xdotool", "getwindowname", str(app.window)], env=app.display.env,
                               capture_output=True, text=True).stdout.rstrip("\n")
        check(title == CAPTION, f"window title is {title!r}, expected {CAPTION!r}")
        geometry = app.display.geometry(app.window)
        size = (geometry["width"], geometry["height"])
        check(size == CLIENT_SIZE, f"client area is {size[0]}x{size[1]}, expected {CLIENT_SIZE[0]}x{CLIENT_SIZE[1]}")
        hints = subprocess.run(["xprop", "-id", str(app.window), "WM_NORMAL_HINTS"], env=app.display.env,
                               capture_output=True, text=True).stdout
        for kind in ("minimum", "maximum"):
            found = re.search(rf"program specified {kind} size: (\d+) by (\d+)", hints)
            check(found and (int(found[1]), int(found[2])) == CLIENT_SIZE,
                  f"the window does not fix its {kind} size at {CLIENT_SIZE}: {hints.strip()!r}")


def controls_do_nothing_until_connected(options):
    with session(options, [1]) as app:
        pty = app.ports[1]
        for rect in (SEND, RTS, DTR, SEND):
            app.click(rect)
        app.expect_no_box(0.5)
        check(app.open_fds(pty) == 0, f"kestavo holds {pty.path} open before any connect")
        pty.expect_nothing()
        app.click(CONNECT)
        app.wait_open(pty)
        app.click(SEND)
        pty.expect(b"A")


if __name__ == "__main__":
    harness.main([window_has_caption_and_fixed_client_area, controls_do_nothing_until_connected])
