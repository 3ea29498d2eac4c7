/* What the line emulation (preloaded into the program under test) and the
 * line monitor agree on. Plain C: the emulation is a C library. */
#pragma once

#include <stdint.h>

/* Colon-separated device paths whose modem-control lines are emulated. An
 * open is matched by the device number behind the path, so a symlink to one
 * of them counts as well. */
#define KESTAVO_LINE_PATHS "KESTAVO_LINE_PATHS"
/* Descriptor of the write end of a pipe or socket for the events. */
#define KESTAVO_LINE_EVENTS_FD "KESTAVO_LINE_EVENTS_FD"
/* Optional: descriptor of a shared memory block of KESTAVO_LINE_MAX queues,
 * one for each path in order, through which the far end tells what it carried. */
#define KESTAVO_LINE_QUEUE_FD "KESTAVO_LINE_QUEUE_FD"

enum { KESTAVO_LINE_MAX = 16, KESTAVO_LINE_DTR = 1, KESTAVO_LINE_RTS = 2 };

/* The line's transmit queue as the writer's kernel would count it: written
 * minus carried minus discarded. Each counter has one writer. */
struct kestavo_line_queue {
    uint64_t written;   /* by the emulation, for every write to the device */
    uint64_t discarded; /* by the emulation, at an output flush */
    uint64_t carried;   /* by the far end, for every byte it took off the line */
};

/* One event a line, each one write() of one text line:
 *   "<CLOCK_MONOTONIC ns> <kind> <levels before> <levels after> <count> <path>\n"
 * kind: open, close, set, bis, bic (modem-control requests that changed
 * something), b0 / unb0 (speed set to B0 / left B0), flush (count: bytes
 * thrown away from the transmit queue). Levels are KESTAVO_LINE_DTR|RTS bits.
 * The monitor itself adds "exit": the program ended with the device open. */
