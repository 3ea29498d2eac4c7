#include "device_access.h"

#include <QCoreApplication>

#include <windows.h>

namespace kestavo::device {

Failure permissionDenied(const QString &path)
{
    return Failure::make(FailureCode::PermissionDenied,
                         QCoreApplication::translate("kestavo::device", "Keine Berechtigung für %1.").arg(path));
}

Failure busy(const QString &path, qint64)
{
    return Failure::make(FailureCode::DeviceBusy,
                         QCoreApplication::translate("kestavo::device", "%1 wird von einem anderen Programm benutzt.")
                             .arg(path));
}

// Windows opens COM ports exclusively and names no device files to check.
Status checkBeforeOpen(const QString &)
{
    return {};
}

Status holdExclusive(qintptr, const QString &)
{
    return {};
}

qint64 kernelQueued(qintptr handle)
{
    COMSTAT stat{};
    DWORD errors = 0;
    if (!ClearCommError(reinterpret_cast<HANDLE>(handle), &errors, &stat))
        return 0;
    return stat.cbOutQue;
}

// Windows has no request for both lines at once.
Result<bool> setModemLines(qintptr, const QString &, bool, bool)
{
    return false;
}

void discardKernelQueue(qintptr handle)
{
    PurgeComm(reinterpret_cast<HANDLE>(handle), PURGE_TXABORT | PURGE_TXCLEAR);
}

} // namespace kestavo::device
