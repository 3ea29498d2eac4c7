#!/usr/bin/env python3
"""Connect and disconnect as other programs and the far end see them."""

import os
import socket
import subprocess
import time

import harness
from harness import COMBO, CONNECT, SEND, check, session, stays, wait_for

# Well above an idle event loop, well below a loop spinning on an error.
IDLE_CPU_SHARE = 0.20
CPU_WINDOW_S = 2.0


def disconnect_releases_the_port(options):
    with session(options, [1]) as app:
        pty = app.ports[1]
        app.click(CONNECT)
        app.wait_open(pty)
        with open(pty.lock_file) as lock:
            owner = lock.readline().strip()
        check(owner == str(app.pid), f"{pty.lock_file} names PID {owner!r}, kestavo is {app.pid}")
        held = pty.try_flock()
        if held is not None:
            os.close(held)
        check(held is None, f"while connected, another opener could take flock(LOCK_EX) on {pty.path}")

        app.click(CONNECT)
        app.wait_closed(pty)
        held = pty.try_flock()
        check(held is not None, f"after disconnecting, flock(LOCK_EX) on {pty.path} is still taken")
        os.close(held)
        app.click(SEND)
        pty.expect_nothing()
        app.expect_no_box(0.3)


def bytes_sent_just_before_disconnect_still_arrive(options):
    with session(options, [1]) as app:
        pty = app.ports[1]
        app.click(CONNECT)
        app.wait_open(pty)
        app.click(SEND)
        app.click(CONNECT)
        app.wait_closed(pty)
        pty.expect(b"A")


def _connect_fails_then_works_once_released(app, take, release):
    pty = app.ports[1]
    take()
    try:
        app.click(CONNECT)
        box = app.wait_box()
        check(app.open_fds(pty) == 0, f"after the failed connect kestavo still holds {pty.path} open")
        app.dismiss_box(box)
    finally:
        release()
    app.expect_no_box(0.3)
    # Had the failed click left the window connected, this click would
    # disconnect and nothing would arrive.
    app.click(CONNECT)
    app.wait_open(pty)
    app.click(SEND)
    pty.expect(b"A")


def port_locked_with_flock_by_another_program(options):
    with session(options, [1]) as app:
        held = []

        def take():
            fd = app.ports[1].try_flock()
            check(fd is not None, "the test could not take the flock itself")
            held.append(fd)

        def release():
            while held:
                os.close(held.pop())

        _connect_fails_then_works_once_released(app, take, release)


def port_locked_with_lock_file_of_a_live_process(options):
    with session(options, [1]) as app:
        lock_file = app.ports[1].lock_file
        check(not os.path.exists(lock_file), f"{lock_file} exists before the test made it")
        holder = subprocess.Popen(["sleep", "300"])
        made = []

        def take():
            # The format QLockFile writes: PID, application, host.
            with open(lock_file, "x") as lock:
                lock.write(f"{holder.pid}\nsleep\n{socket.gethostname()}\n")
            made.append(lock_file)

        def release():
            # Only ever the test's own file: kestavo's comes under the same name.
            while made:
                os.unlink(made.pop())
            if holder.poll() is None:
                holder.kill()
                holder.wait()

        try:
            _connect_fails_then_works_once_released(app, take, release)
        finally:
            release()


def far_end_closed_while_connected(options):
    with session(options, [1, 3]) as app:
        gone, other = app.ports[1], app.ports[3]
        gone_path = gone.path
        app.click(CONNECT)
        app.wait_open(gone)
        gone.close_far_end()
        app.click(SEND)
        box = app.wait_box()
        stays(lambda: len(app.boxes()) == 1, 1.0, "exactly one error box")

        def cpu_share():
            cpu, wall = app.cpu_seconds(), time.monotonic()
            time.sleep(CPU_WINDOW_S)
            return (app.cpu_seconds() - cpu) / (time.monotonic() - wall)

        share = cpu_share()
        check(share < IDLE_CPU_SHARE, f"kestavo uses {share:.0%} CPU while its error box is up")
        app.dismiss_box(box)
        app.expect_no_box(1.0)
        share = cpu_share()
        check(share < IDLE_CPU_SHARE, f"kestavo uses {share:.0%} CPU after the error box closed")
        app.check_alive()

        # A box here is reported at the end, so that the rest still gets checked.
        app.click(CONNECT)
        problems = []
        try:
            app.expect_no_box(1.0)
        except harness.TestFailure:
            problems.append("disconnecting after the loss brought up another box")
            for extra in app.boxes():
                app.dismiss_box(extra)
        wait_for(lambda: app.open_fds(gone) == 0, 10, f"kestavo to close {gone_path}")
        # Only a disconnected window lets the port be changed and connects again.
        app.click(COMBO)
        app.keys("Down")
        app.click(CONNECT)
        app.wait_open(other)
        app.click(SEND)
        other.expect(b"A")
        check(not problems, "; ".join(problems))


def _type_port(app, name, *then):
    app.click(COMBO)
    app.keys("ctrl+a")
    app.type_text(name)
    if then:
        app.keys(*then)


def typed_listed_name_opens_that_port(options):
    with session(options, [1, 3]) as app:
        com1, com3 = app.ports[1], app.ports[3]
        _type_port(app, "COM 3")
        app.click(CONNECT)
        app.wait_open(com3)
        check(app.open_fds(com1) == 0, f"COM 1 ({com1.path}) is open too")
        app.click(SEND)
        com3.expect(b"A")


def typed_unlisted_name_opens_nothing(options):
    with session(options, [1, 3]) as app:
        for way, keys, press in (("mouse", (), lambda: app.click(CONNECT)),
                                 ("Return, then mouse", ("Return",), lambda: app.click(CONNECT)),
                                 ("Space on the button", ("Tab",), lambda: app.keys("space"))):
            _type_port(app, "COM 7", *keys)
            press()
            box = app.wait_box()
            stays(lambda: len(app.boxes()) == 1, 0.3, f"one error box ({way})")
            for pty in app.ports.values():
                check(app.open_fds(pty) == 0, f"{way}: {pty.path} was opened for a typed COM 7")
            app.dismiss_box(box)


if __name__ == "__main__":
    harness.main([
        disconnect_releases_the_port,
        bytes_sent_just_before_disconnect_still_arrive,
        port_locked_with_flock_by_another_program,
        port_locked_with_lock_file_of_a_live_process,
        far_end_closed_while_connected,
        typed_listed_name_opens_that_port,
        typed_unlisted_name_opens_nothing,
    ])
