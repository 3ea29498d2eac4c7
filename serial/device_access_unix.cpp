#include "device_access.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kestavo::device {
namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("kestavo::device", text);
}

// QSerialPort's lock file convention: LCK..<path below /dev with '/' as '_'>,
// in the first of these folders that exists.
QString lockFilePath(const QString &path)
{
    QString name = path;
    if (name.startsWith(QLatin1String("/dev/")))
        name = name.mid(5);
    name.replace(u'/', u'_');
    for (const char *dir : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp"}) {
        const QFileInfo info(QString::fromLatin1(dir));
        if (info.isDir() && info.isWritable())
            return info.canonicalFilePath() + QStringLiteral("/LCK..") + name;
    }
    return {};
}

qint64 liveLockHolder(const QString &path)
{
    QFile lock(lockFilePath(path));
    if (!lock.open(QIODevice::ReadOnly))
        return 0;
    bool ok = false;
    const qint64 pid = lock.readLine().trimmed().toLongLong(&ok);
    if (!ok || pid <= 0 || pid == getpid())
        return 0;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)
        return pid;
    return 0; // stale: QSerialPort removes it itself
}

} // namespace

Failure permissionDenied(const QString &path)
{
    return Failure::make(FailureCode::PermissionDenied,
                         tr("Keine Berechtigung für %1. Unter Linux darf meist nur die Gruppe „dialout“ "
                            "serielle Geräte öffnen: sudo usermod -aG dialout $USER, dann neu anmelden.")
                             .arg(path));
}

Failure busy(const QString &path, const QString &holder)
{
    return Failure::make(FailureCode::DeviceBusy,
                         tr("%1 wird von einem anderen Programm benutzt%2.").arg(path, holder));
}

Status checkBeforeOpen(const QString &path)
{
    struct stat st {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0) {
        if (errno == EACCES)
            return permissionDenied(path);
        return Failure::make(FailureCode::DeviceNotFound, tr("Das Gerät %1 gibt es nicht.").arg(path));
    }
    if (!S_ISCHR(st.st_mode)) {
        return Failure::make(FailureCode::NotASerialDevice, tr("%1 ist kein serielles Gerät.").arg(path));
    }
    if (access(QFile::encodeName(path).constData(), W_OK) != 0)
        return permissionDenied(path);
    if (const qint64 pid = liveLockHolder(path))
        return busy(path, tr(" (Prozess %1)").arg(pid));
    return {};
}

Status holdExclusive(qintptr handle, const QString &path)
{
    if (flock(static_cast<int>(handle), LOCK_EX | LOCK_NB) == 0)
        return {};
    if (errno == EWOULDBLOCK)
        return busy(path, QString());
    return {}; // file systems without flock: the lock file still guards us
}

qint64 kernelQueued(qintptr handle)
{
    int queued = 0;
    if (ioctl(static_cast<int>(handle), TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

void discardKernelQueue(qintptr handle)
{
    tcflush(static_cast<int>(handle), TCOFLUSH);
}

} // namespace kestavo::device
