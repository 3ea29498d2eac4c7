"""Reads and presses kestavo's controls over AT-SPI, as a screen reader does.

One private session bus per test process, with an accessibility bus launched
on it and assistive technology switched on there (what a desktop does when a
screen reader runs), so that Qt exposes its widgets without any switch of its
own. libatspi keeps its first bus connection for the life of the process, so
the bus is made once, before pyatspi is imported, and shared by all cases.

pyatspi comes from Debian (python3-pyatspi) and imports only into Debian's
own python3."""

import atexit
import os
import shutil
import signal
import subprocess
import tempfile

from harness import TestFailure, check, wait_for

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

_bus = None


class Bus:
    def __init__(self):
        for tool in ("dbus-daemon", "dbus-send", LAUNCHER):
            check(shutil.which(tool), f"{tool} is missing: install the packages in apt-packages.txt")
        # The launcher puts the accessibility bus socket there; a shared
        # ~/.cache would let two test processes take each other's bus.
        self.runtime_dir = tempfile.mkdtemp(prefix="kestavo-atspi-")
        address, pid = subprocess.run(
            ["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
            capture_output=True, text=True, timeout=30, check=True).stdout.split()
        self.daemon_pid = int(pid)
        self.env = {"DBUS_SESSION_BUS_ADDRESS": address}
        # Without DISPLAY the launcher publishes the bus on the session bus
        # only, where every reader and every platform plugin looks.
        env = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(self.env, XDG_RUNTIME_DIR=self.runtime_dir)
        self.launcher = subprocess.Popen([LAUNCHER, "--launch-immediately"], env=env,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: self._switch_on(env), 20, "the accessibility bus to take the switch")

    @staticmethod
    def _switch_on(env):
        return subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
             "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
             "variant:boolean:true"], env=env, capture_output=True, timeout=10).returncode == 0

    def close(self):
        self.launcher.terminate()
        try:
            self.launcher.wait(10)
        except subprocess.TimeoutExpired:
            self.launcher.kill()
            self.launcher.wait()
        try:
            os.kill(self.daemon_pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        shutil.rmtree(self.runtime_dir, ignore_errors=True)


def bus():
    """The process's bus; its env goes into every kestavo that is to be read."""
    global _bus
    if _bus is None:
        _bus = Bus()
        atexit.register(_bus.close)
        os.environ.update(_bus.env)
    return _bus


def _pyatspi():
    bus()
    try:
        import pyatspi
    except ImportError as error:
        raise TestFailure(f"pyatspi is missing ({error}): run this with Debian's python3 and python3-pyatspi") \
            from None
    return pyatspi


def window(pid, title, timeout=30):
    """The top-level accessible titled `title` of the application with this PID."""
    desktop = _pyatspi().Registry.getDesktop(0)

    def find():
        for app in desktop:
            if app is not None and app.get_process_id() == pid:
                for child in app:
                    if child is not None and child.name == title:
                        return child
        return None

    return wait_for(find, timeout, f"process {pid} to show {title!r} over AT-SPI", interval=0.1)


def find(root, role, name):
    """The one descendant of root with this role name ("push button", "text", ...) and name."""
    found = _pyatspi().findAllDescendants(root, lambda a: a.getRoleName() == role and a.name == name)
    check(len(found) == 1, f"expected one {role} named {name!r}, found {len(found)}: {tree(root)}")
    return found[0]


def press(accessible, action="Press"):
    actions = accessible.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    check(action in names, f"{accessible.getRoleName()} {accessible.name!r} offers {names}, not {action!r}")
    check(actions.doAction(names.index(action)), f"{action} on {accessible.name!r} was refused")


def size(accessible):
    return tuple(accessible.queryComponent().getSize())


def tree(root, depth=0):
    """The subtree as text, for failure messages."""
    text = f"\n{'  ' * depth}{root.getRoleName()} {root.name!r} {root.description!r}"
    return text + "".join(tree(child, depth + 1) for child in root if child is not None)
