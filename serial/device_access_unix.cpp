#include "device_access.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <QDir>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>
#include <csignal>
#include <grp.h>
#include <pwd.h>
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

// "minicom" for a process: the name it was started as, or the kernel's name for it.
QString programOf(qint64 pid)
{
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QByteArray first = cmdline.readAll().split('\0').value(0);
        if (!first.isEmpty())
            return QFileInfo(QFile::decodeName(first)).fileName();
    }
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromUtf8(comm.readAll()).trimmed();
    return {};
}

// Another process that has the device open, as fuser finds it. Only the
// user's own processes (and all of them for root) can be seen.
qint64 openerOf(const QString &path)
{
    const QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty())
        return 0;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid == getpid())
            continue;
        const QDir fds(proc.filePath(entry + QStringLiteral("/fd")));
        for (const QString &fd : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
            if (QFile::symLinkTarget(fds.filePath(fd)) == device)
                return pid;
        }
    }
    return 0;
}

bool inGroup(gid_t group, const std::vector<gid_t> &groups)
{
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// The groups the group database gives the user now: what the next login gets.
std::vector<gid_t> databaseGroups()
{
    const passwd *user = getpwuid(geteuid());
    if (!user)
        return {};
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0)
            return {};
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

// The groups this process runs with: what the session got at its login.
std::vector<gid_t> sessionGroups()
{
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    groups.resize(static_cast<std::size_t>(std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    groups.push_back(getegid());
    return groups;
}

QString groupName(gid_t group)
{
    const struct group *entry = getgrgid(group);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(group);
}

Failure modemLineFailure(const QString &path, int error)
{
    if (error == ENOTTY || error == EINVAL) {
        return Failure::make(FailureCode::ModemLinesUnsupported,
                             tr("%1 hat keine Steuerleitungen DTR und RTS (zum Beispiel ein Pseudo-Terminal); "
                                "die Leitungen lassen sich nicht setzen.")
                                 .arg(path));
    }
    return Failure::make(FailureCode::ModemLineFailed,
                         tr("DTR und RTS lassen sich an %1 nicht setzen (%2).")
                             .arg(path, QString::fromLocal8Bit(std::strerror(error))));
}

} // namespace

Failure permissionDenied(const QString &path)
{
    struct stat st {};
    constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;
    if (stat(QFile::encodeName(path).constData(), &st) == 0 && (st.st_mode & kGroupReadWrite) == kGroupReadWrite) {
        const QString group = groupName(st.st_gid);
        if (!inGroup(st.st_gid, databaseGroups())) {
            return Failure::make(FailureCode::PermissionDenied,
                                 tr("Keine Berechtigung für %1: Nur die Gruppe „%2“ darf es öffnen, und Sie sind "
                                    "nicht in dieser Gruppe. Abhilfe: sudo usermod -aG %2 $USER, dann neu anmelden.")
                                     .arg(path, group));
        }
        if (!inGroup(st.st_gid, sessionGroups())) {
            return Failure::make(FailureCode::PermissionDenied,
                                 tr("Keine Berechtigung für %1: Sie sind in der Gruppe „%2“, aber diese Sitzung "
                                    "wurde gestartet, bevor Sie hinzugefügt wurden. Abhilfe: abmelden und neu "
                                    "anmelden.")
                                     .arg(path, group));
        }
    }
    return Failure::make(FailureCode::PermissionDenied,
                         tr("Keine Berechtigung für %1 (Eigentümer %2, Gruppe „%3“, Rechte %4).")
                             .arg(path, QString::number(st.st_uid), groupName(st.st_gid),
                                  QString::number(st.st_mode & 0777, 8)));
}

Failure busy(const QString &path, qint64 lockPid)
{
    const qint64 pid = lockPid > 0 ? lockPid : openerOf(path);
    const QString program = pid > 0 ? programOf(pid) : QString();
    QString text;
    if (!program.isEmpty())
        text = tr("%1 wird von %2 (PID %3) benutzt.").arg(path, program).arg(pid);
    else if (pid > 0)
        text = tr("%1 wird von Prozess %2 benutzt.").arg(path).arg(pid);
    else
        text = tr("%1 wird von einem anderen Programm benutzt.").arg(path);
    return Failure::make(FailureCode::DeviceBusy, text);
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
        return busy(path, pid);
    return {};
}

Status holdExclusive(qintptr handle, const QString &path)
{
    if (flock(static_cast<int>(handle), LOCK_EX | LOCK_NB) == 0)
        return {};
    if (errno == EWOULDBLOCK)
        return busy(path);
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

Result<bool> setModemLines(qintptr handle, const QString &path, bool dtr, bool rts)
{
#ifdef Q_OS_LINUX
    const int fd = static_cast<int>(handle);
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) != 0)
        return modemLineFailure(path, errno);
    bits = (bits & ~(TIOCM_DTR | TIOCM_RTS)) | (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
    if (ioctl(fd, TIOCMSET, &bits) != 0)
        return modemLineFailure(path, errno);
    return true;
#else
    Q_UNUSED(handle)
    Q_UNUSED(path)
    Q_UNUSED(dtr)
    Q_UNUSED(rts)
    return false;
#endif
}

} // namespace kestavo::device
