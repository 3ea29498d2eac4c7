#!/usr/bin/env python3
"""DTR and RTS through the real executable, on pseudo-terminals that the line
emulation gives modem-control lines; its events are read here."""

import harness
from harness import CONNECT, DTR, DTR_BIT, RTS, RTS_BIT, check, session, stays, wait_for

BOTH = DTR_BIT | RTS_BIT


def steps(events):
    return [(event.kind, event.before, event.after) for event in events]


def lines_go_straight_from_each_open_to_the_boxes(options):
    """Linux raises both lines at every open. From there the levels the boxes
    ask for follow in one request: never one line old and one new, which an
    ESP32's auto-reset circuit takes for a reset. A click moves its line only."""
    with session(options, [1, 3], preload=True) as app:
        for number, pty in app.ports.items():
            seen = steps(app.line_events(pty))
            check(seen == [("open", 0, BOTH), ("set", BOTH, 0), ("close", 0, 0)],
                  f"discovery of COM {number} moved the lines {seen}")
        pty = app.ports[1]
        state = {"levels": 0}

        def expect(action, what, expected):
            mark = len(app.line_events(pty))
            action()
            wait_for(lambda: steps(app.line_events(pty)[mark:]) == expected, 10,
                     f"{what}: {expected}, seen {steps(app.line_events(pty)[mark:])}")
            stays(lambda: steps(app.line_events(pty)[mark:]) == expected, 0.3, f"{what}: only {expected}")

        def connect():
            wanted = state["levels"]
            settle = [] if wanted == BOTH else [("set", BOTH, wanted)]

            def click():
                app.click(CONNECT)
                app.wait_open(pty)
            expect(click, f"connect with levels {wanted}", [("open", 0, BOTH)] + settle)

        def disconnect():
            expect(lambda: app.click(CONNECT), "disconnect", [("close", state["levels"], 0)])

        def tick(rect, bit):
            before, after = state["levels"], state["levels"] ^ bit
            kind = "bis" if after & bit else "bic"
            expect(lambda: app.click(rect), f"click on {'DTR' if bit == DTR_BIT else 'RTS'}",
                   [(kind, before, after)])
            state["levels"] = after

        connect()
        tick(DTR, DTR_BIT)
        tick(RTS, RTS_BIT)
        disconnect()
        connect()
        tick(DTR, DTR_BIT)
        disconnect()
        connect()
        app.expect_no_box(0.3)


if __name__ == "__main__":
    harness.main([lines_go_straight_from_each_open_to_the_boxes])
