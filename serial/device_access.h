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

Failure permissionDenied(const QString &path);
Failure busy(const QString &path, const QString &holder);

} // namespace kestavo::device
