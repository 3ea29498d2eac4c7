"""Reads and presses kestavo's controls over AT-SPI, as a screen reader does.

One private session bus per test process, with an accessibility bus on it and
assistive technology switched on there, as a desktop does when a screen
reader runs; Qt then exposes its widgets without a switch of its own.
libatspi keeps its first bus for the life of the process, so the bus is made
once, before pyatspi is imported. pyatspi is Debian's python3-pyatspi and
imports only into Debian's own python3."""

import atexit
import os
import shutil
import signal
import subprocess
import tempfile

from harness import check, wait_for

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
TOOLS = ("dbus-daemon", "dbus-send", LAUNCHER)

_env = None


def bus_env():
    """The environment that puts a process on the test process's bus."""
    global _env
    if _env is None:
        # The launcher's socket goes there; a shared ~/.cache would let two
        # test processes take each other's bus.
        runtime_dir = tempfile.mkdtemp(prefix="kestavo-atspi-")
        address, pid = subprocess.run(
            ["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
            capture_output=True, text=True, timeout=30, check=True).stdout.split()
        _env = {"DBUS_SESSION_BUS_ADDRESS": address}
        # Without a display the launcher announces the bus on the session bus
        # alone, where both Qt platform plugins and libatspi look.
        env = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(_env, XDG_RUNTIME_DIR=runtime_dir)
        launcher = subprocess.Popen([LAUNCHER, "--launch-immediately"], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def close():
            launcher.terminate()
            launcher.wait(10)
            os.kill(int(pid), signal.SIGTERM)
            shutil.rmtree(runtime_dir, ignore_errors=True)

        atexit.register(close)
        switch_on = ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                     "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
                     "variant:boolean:true"]
        wait_for(lambda: subprocess.run(switch_on, env=env, capture_output=True, timeout=10).returncode == 0,
                 20, "the accessibility bus to be switched on")
        os.environ.update(_env)
    return _env


def window(pid, title, timeout=30):
    """The top-level accessible titled `title` of the process `pid`."""
    bus_env()
    import pyatspi  # only now: it connects to the bus in the environment

    def find():
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == pid:
                return next((child for child in app if child is not None and child.name == title), None)
        return None

    return wait_for(find, timeout, f"process {pid} to show {title!r} over AT-SPI", interval=0.1)


def find(root, role, name):
    """The one descendant with this role name ("push button", "text", ...) and name."""
    import pyatspi
    found = pyatspi.findAllDescendants(root, lambda a: a.getRoleName() == role and a.name == name)
    check(len(found) == 1, f"expected one {role} named {name!r}, found {len(found)} in:{_tree(root)}")
    return found[0]


def press(accessible, action="Press"):
    actions = accessible.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    check(action in names, f"{accessible.name!r} offers {names}, not {action!r}")
    check(actions.doAction(names.index(action)), f"{action} on {accessible.name!r} was refused")


def size(accessible):
    return tuple(accessible.queryComponent().getSize())


def _tree(root, depth=1):
    text = f"\n{'  ' * depth}{root.getRoleName()} {root.name!r} {root.description!r}"
    return text + "".join(_tree(child, depth + 1) for child in root if child is not None)
