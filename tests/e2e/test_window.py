#!/usr/bin/env python3
"""The main window as it comes up: caption, fixed size, the class and icons its
desktop entry relies on, controls idle until connected."""

import os
import re
import subprocess

import harness
from harness import CAPTION, CLIENT_SIZE, CONNECT, DTR, RTS, SEND, check, session

DESKTOP_ENTRY = os.path.join(os.path.dirname(__file__), "..", "..", "app", "de.meridax.kestavo.desktop")


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


def window_matches_its_desktop_entry(options):
    """A desktop links the window to its menu entry by WM_CLASS: the instance is
    the program Exec starts, the class is StartupWMClass."""
    with open(DESKTOP_ENTRY, encoding="utf-8") as entry:
        fields = dict(re.findall(r"^(\w+)=(.*)$", entry.read(), re.M))
    with session(options, [1]) as app:
        properties = subprocess.run(["xprop", "-id", str(app.window), "WM_CLASS", "_NET_WM_ICON"],
                                    env=app.display.env, capture_output=True, text=True).stdout
        found = re.search(r'^WM_CLASS\(STRING\) = "([^"]*)", "([^"]*)"', properties, re.M)
        check(found, f"the window has no WM_CLASS: {properties[:200]!r}")
        expected = (os.path.basename(fields["Exec"].split()[0]), fields["StartupWMClass"])
        check(found.groups() == expected, f"WM_CLASS is {found.groups()}, the desktop entry says {expected}")
        sizes = re.findall(r"Icon \((\d+) x \d+\)", properties)
        check(sizes == ["16", "32"], f"the window's icons are {sizes} px, expected 16 and 32")


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
    harness.main([window_has_caption_and_fixed_client_area, window_matches_its_desktop_entry,
                  controls_do_nothing_until_connected])
