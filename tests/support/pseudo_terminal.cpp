#include "pseudo_terminal.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kestavo::testing {
namespace {

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

// At least `least`, so that a poll near the deadline still waits a little.
int remainingMs(std::chrono::steady_clock::time_point deadline, int least = 0)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max(least, static_cast<int>(left.count()));
}

QString lockFileName(const QString &device)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(u'/', u'_');
    return QStringLiteral("LCK..") + name;
}

} // namespace

QString lockFilePath(const QString &device)
{
    return QStringLiteral("/var/lock/") + lockFileName(device);
}

PseudoTerminal::PseudoTerminal(Slave slave)
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        m_error = systemError("posix_openpt");
        return;
    }
    const char *name = (grantpt(m_master) == 0 && unlockpt(m_master) == 0) ? ptsname(m_master) : nullptr;
    if (!name) {
        m_error = systemError("grantpt/unlockpt/ptsname");
        closeMaster();
        return;
    }
    m_slavePath = QFile::decodeName(name);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    if (slave == Slave::Kept) {
        m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_slave < 0)
            m_error = systemError("open slave");
    }
}

PseudoTerminal::~PseudoTerminal()
{
    if (m_slave >= 0)
        ::close(m_slave);
    closeMaster();
}

void PseudoTerminal::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

QByteArray PseudoTerminal::read(std::chrono::milliseconds wait, std::chrono::milliseconds quiet)
{
    QByteArray bytes;
    auto deadline = std::chrono::steady_clock::now() + wait;
    char buffer[65536];
    while (m_master >= 0) {
        pollfd fd{m_master, POLLIN, 0};
        if (poll(&fd, 1, remainingMs(deadline)) <= 0)
            break;
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break; // EIO: no slave opener right now
        bytes.append(buffer, n);
        deadline = std::chrono::steady_clock::now() + quiet;
    }
    return bytes;
}

bool PseudoTerminal::removeStaleLock() const
{
    bool gone = true;
    for (const char *dir : {"/var/lock", "/tmp"}) {
        QFile lock(QString::fromLatin1(dir) + u'/' + lockFileName(m_slavePath));
        if (!lock.open(QIODevice::ReadOnly)) {
            gone = gone && !lock.exists();
            continue;
        }
        const pid_t pid = lock.readLine().trimmed().toInt();
        lock.close();
        if (pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH))
            gone = false;
        else
            gone = lock.remove() && gone;
    }
    return gone;
}

MasterReader::MasterReader(PseudoTerminal &pty, qsizetype expected, std::chrono::microseconds limit, Then then)
    : m_pty(pty), m_thread(&MasterReader::run, this, expected, limit, then)
{
}

MasterReader::~MasterReader()
{
    m_thread.join();
}

void MasterReader::run(qsizetype expected, std::chrono::microseconds limit, Then then)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    const int master = m_pty.master();
    while (m_data.size() < expected && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, remainingMs(deadline, 1)) <= 0)
            continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0)
            m_data.append(buffer, n);
        else if (n == 0 || errno != EAGAIN)
            break;
    }
    if (then == Then::CloseMaster)
        m_pty.closeMaster();
    m_finished.store(true);
}

} // namespace kestavo::testing
