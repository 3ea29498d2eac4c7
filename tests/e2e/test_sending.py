#!/usr/bin/env python3
"""Connecting and transmitting: line settings and the exact bytes at the far end."""

import termios

import harness
from harness import CONNECT, SEND, check, session


def keyboard_selects_com3_and_opens_it_9600_8n1_raw(options):
    with session(options, [1, 3]) as app:
        com1, com3 = app.ports[1], app.ports[3]
        before = com3.termios()
        check(before[4] != termios.B9600 or before[3] & termios.ICANON,
              "the fresh pseudo-terminal already looks configured; the check below would prove nothing")
        app.keys("Down", "Tab", "space")
        app.wait_open(com3)
        check(app.open_fds(com1) == 0, f"COM 1 ({com1.path}) is open too")
        iflag, oflag, cflag, lflag, ispeed, ospeed, _ = com3.termios()
        problems = []
        if ispeed != termios.B9600 or ospeed != termios.B9600:
            problems.append(f"speed in/out {ispeed:#o}/{ospeed:#o}, expected B9600")
        if cflag & termios.CSIZE != termios.CS8:
            problems.append("not 8 data bits")
        for name in ("PARENB", "CSTOPB", "CRTSCTS"):
            if cflag & getattr(termios, name):
                problems.append(f"{name} set")
        for name in ("ICANON", "ECHO", "ISIG", "IEXTEN"):
            if lflag & getattr(termios, name):
                problems.append(f"{name} set")
        if oflag & termios.OPOST:
            problems.append("OPOST set")
        for name in ("IXON", "IXOFF", "ICRNL", "INLCR", "ISTRIP"):
            if iflag & getattr(termios, name):
                problems.append(f"{name} set")
        check(not problems, f"{com3.path} is not 9600 8N1 raw: " + "; ".join(problems))


def send_button_transmits_the_text_to_the_selected_port_only(options):
    with session(options, [1, 3]) as app:
        com1, com3 = app.ports[1], app.ports[3]
        app.keys("Down")
        app.click(CONNECT)
        app.wait_open(com3)
        app.click(SEND)
        com3.expect(b"A")
        com1.expect_nothing()


def umlauts_sharp_s_and_euro_go_out_as_windows_1252(options):
    with session(options, [1]) as app:
        app.click(CONNECT)
        app.wait_open(app.ports[1])
        app.set_text("Grüße €")
        app.click(SEND)
        app.ports[1].expect(bytes.fromhex("47 72 FC DF 65 20 80"))


def empty_text_sends_nothing(options):
    with session(options, [1]) as app:
        app.click(CONNECT)
        app.wait_open(app.ports[1])
        app.set_text("")
        app.click(SEND)
        app.click(SEND)
        # Bytes keep their order: anything sent for the empty text would
        # arrive before the marker.
        app.set_text("B")
        app.click(SEND)
        app.ports[1].expect(b"B")
        app.expect_no_box(0.3)


def send_button_reached_with_tab_and_pressed_with_space(options):
    with session(options, [1]) as app:
        # Focus starts in the combo box; tab order: connect, text, send.
        app.keys("Tab", "space")
        app.wait_open(app.ports[1])
        app.keys("Tab", "Tab", "space")
        app.ports[1].expect(b"A")


if __name__ == "__main__":
    harness.main([
        keyboard_selects_com3_and_opens_it_9600_8n1_raw,
        send_button_transmits_the_text_to_the_selected_port_only,
        umlauts_sharp_s_and_euro_go_out_as_windows_1252,
        empty_text_sends_nothing,
        send_button_reached_with_tab_and_pressed_with_space,
    ])
