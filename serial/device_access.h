#pragma once

#include "failure.h"

#include <QString>

// What QSerialPort leaves to us, per platform: the checks before an open,
// the advisory lock other serial tools honour, and the kernel's own queue.
namespace kestavo::device {

// Refuses what must never be opened as a line: a missing path, a path that
// is no character device, one we may not write, one whose lock file names a
// live process.
Status checkBeforeOpen(const QString &path);

// Takes the lock picocom and gtkterm take (flock on Linux) on an open handle.
Status holdExclusive(qintptr handle, const QString &path);

// Bytes the kernel still holds for the line, and throwing them away.
qint64 kernelQueued(qintptr handle);
void discardKernelQueue(qintptr handle);

// Both modem-control lines in one request, so that the wire never shows one
// old and one new level: an ESP32's auto-reset circuit holds the chip in reset
// while DTR is low and RTS high. False where the platform has no such request;
// the caller then sets them one at a time.
Result<bool> setModemLines(qintptr handle, const QString &path, bool dtr, bool rts);

// Names the cure: on Linux the device's own group, and whether the user still
// has to join it or only to log in again.
Failure permissionDenied(const QString &path);
// lockPid: the process a lock file names, 0 when none does. The text names the
// program and its PID where they can be found.
Failure busy(const QString &path, qint64 lockPid = 0);

} // namespace kestavo::device
