#include "pty_pair.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kestavo::drills {
namespace {

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

int remainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max(0, static_cast<int>(left.count()));
}

} // namespace

PtyPair::PtyPair()
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
}

PtyPair::~PtyPair()
{
    closeMaster();
}

void PtyPair::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

QByteArray PtyPair::read(std::chrono::milliseconds wait, std::chrono::milliseconds quiet)
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

void PtyPair::removeStaleLock() const
{
    QString name = m_slavePath.mid(5); // below /dev/
    name.replace(u'/', u'_');
    for (const char *dir : {"/var/lock", "/run/lock", "/tmp"}) {
        QFile lock(QString::fromLatin1(dir) + QStringLiteral("/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const pid_t pid = lock.readLine().trimmed().toInt();
        lock.close();
        if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH))
            lock.remove();
    }
}

FarEnd::FarEnd(PtyPair &pty, std::chrono::microseconds readFor)
    : m_pty(pty), m_thread(&FarEnd::run, this, readFor)
{
}

FarEnd::~FarEnd()
{
    m_thread.join();
}

void FarEnd::run(std::chrono::microseconds readFor)
{
    const auto deadline = std::chrono::steady_clock::now() + readFor;
    char buffer[65536];
    const int master = m_pty.master();
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, std::max<int>(1, static_cast<int>(left.count()))) <= 0)
            continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0)
            m_received.append(buffer, n);
        else if (n == 0 || errno != EAGAIN)
            break;
    }
    m_pty.closeMaster();
    m_closed.store(true);
}

} // namespace kestavo::drills
