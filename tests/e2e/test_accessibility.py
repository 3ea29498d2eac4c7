#!/usr/bin/env python3
"""What a screen reader finds: the names of the two fields, what a tick means,
and the byte preview, current as the user types."""

import atspi
import harness
from harness import CAPTION, check, session, wait_for


def fields_are_named_and_ticks_explained(options):
    with session(options, [1], extra_env=atspi.bus_env()) as app:
        window = atspi.window(app.pid, CAPTION)
        # The port box itself carries its text as its name; the field in it is named.
        atspi.find(atspi.find(window, "combo box", "COM 1"), "text", "Port")
        atspi.find(window, "text", "Sendetext")
        for line in ("RTS", "DTR"):
            told = atspi.find(window, "check box", f"{line} High setzen").description
            check(all(part in told for part in (f"{line} aktiv", "+3 bis +15 V", "0 V", f"{line}#")),
                  f"the {line} box does not say what a tick means: {told!r}")


def preview_follows_typing(options):
    with session(options, [1], extra_env=atspi.bus_env()) as app:
        text = atspi.find(atspi.window(app.pid, CAPTION), "text", "Sendetext")
        app.set_text("Grüße €")
        wait_for(lambda: text.description == "7 Bytes: 47 72 FC DF 65 20 80", 10,
                 "the preview of the typed text", interval=0.1)


if __name__ == "__main__":
    harness.main([fields_are_named_and_ticks_explained, preview_follows_typing], tools=harness.X_TOOLS + atspi.TOOLS)
