#include "pseudo_terminal.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kestavo::testing {

namespace {
constexpr std::chrono::milliseconds kReaderPoll{50};

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}
} // namespace

PseudoTerminal::PseudoTerminal()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        m_error = systemError("posix_openpt");
        return;
    }
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        m_error = systemError("grantpt/unlockpt");
        return;
    }
    const char *name = ptsname(m_master);
    if (!name) {
        m_error = systemError("ptsname");
        return;
    }
    m_slavePath = QFile::decodeName(name);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slave < 0)
        m_error = systemError("open slave");
}

PseudoTerminal::~PseudoTerminal()
{
    if (m_slave >= 0)
        ::close(m_slave);
    closeMaster();
}

QString PseudoTerminal::lockFileName() const
{
    QString name = m_slavePath.mid(QStringLiteral("/dev/").size());
    name.replace(u'/', u'_');
    return QStringLiteral("LCK..") + name;
}

QByteArray PseudoTerminal::readAvailable()
{
    QByteArray bytes;
    char buffer[65536];
    while (m_master >= 0) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        bytes.append(buffer, n);
    }
    return bytes;
}

void PseudoTerminal::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

MasterReader::MasterReader(int master, qsizetype expected, std::chrono::milliseconds limit)
    : m_thread(&MasterReader::run, this, master, expected, limit)
{
}

MasterReader::~MasterReader()
{
    m_thread.join();
}

void MasterReader::run(int master, qsizetype expected, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    while (m_data.size() < expected && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, int(kReaderPoll.count())) <= 0)
            continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0)
            m_data.append(buffer, n);
        else if (n == 0 || errno != EAGAIN)
            break;
    }
    m_finished.store(true);
}

} // namespace kestavo::testing
