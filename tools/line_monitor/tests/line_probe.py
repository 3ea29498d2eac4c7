#!/usr/bin/env python3
"""Drives $KESTAVO_COM1 step by step, as a program on the virtual line would.

Steps: open NAME | close NAME | bis|bic|set NAME LINES | get NAME LINES (asserts
TIOCMGET) | speed NAME BAUD [crtscts] | nohupcl NAME | write NAME COUNT |
outq NAME MIN MAX (asserts TIOCOUTQ) | flush NAME | die NAME (SIGKILL, with
everything still open) | sleep SECONDS.
LINES is DTR, RTS, DTR+RTS or -."""

import array
import fcntl
import os
import signal
import sys
import termios
import time

BITS = {"DTR": termios.TIOCM_DTR, "RTS": termios.TIOCM_RTS}
REQUESTS = {"bis": termios.TIOCMBIS, "bic": termios.TIOCMBIC, "set": termios.TIOCMSET}


def lines(text):
    return sum(BITS[name] for name in text.split("+") if name != "-")


def ioctl_int(fd, request, value=0):
    word = array.array("i", [value])
    fcntl.ioctl(fd, request, word, True)
    return word[0]


def main(steps):
    path = os.environ["KESTAVO_COM1"]
    fds = {}
    while steps:
        op, name = steps.pop(0), steps.pop(0)
        if op == "sleep":
            time.sleep(float(name))
        elif op == "open":
            fds[name] = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        elif op == "close":
            os.close(fds.pop(name))
        elif op in REQUESTS:
            ioctl_int(fds[name], REQUESTS[op], lines(steps.pop(0)))
        elif op == "get":
            want = lines(steps.pop(0))
            got = ioctl_int(fds[name], termios.TIOCMGET) & (termios.TIOCM_DTR | termios.TIOCM_RTS)
            assert got == want, f"TIOCMGET {got:#x}, expected {want:#x}"
        elif op == "speed":
            attributes = termios.tcgetattr(fds[name])
            speed = getattr(termios, "B" + steps.pop(0))
            attributes[4] = attributes[5] = speed
            attributes[2] = (attributes[2] & ~termios.CRTSCTS) | (
                termios.CRTSCTS if steps and steps[0] == "crtscts" and steps.pop(0) else 0)
            termios.tcsetattr(fds[name], termios.TCSANOW, attributes)
        elif op == "nohupcl":
            attributes = termios.tcgetattr(fds[name])
            attributes[2] &= ~termios.HUPCL
            termios.tcsetattr(fds[name], termios.TCSANOW, attributes)
        elif op == "write":
            os.set_blocking(fds[name], True)
            os.write(fds[name], b"x" * int(steps.pop(0)))
        elif op == "outq":
            low, high = int(steps.pop(0)), int(steps.pop(0))
            got = ioctl_int(fds[name], termios.TIOCOUTQ)
            assert low <= got <= high, f"TIOCOUTQ {got}, expected {low}..{high}"
        elif op == "die":
            os.kill(os.getpid(), signal.SIGKILL)
        elif op == "flush":
            termios.tcflush(fds[name], termios.TCOFLUSH)
        else:
            raise SystemExit(f"unknown step {op}")


if __name__ == "__main__":
    main(sys.argv[1:])
