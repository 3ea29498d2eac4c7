#include "device_holder.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestavo::testing {

namespace {
constexpr std::chrono::milliseconds kStartLimit{5000};
} // namespace

DeviceHolder::DeviceHolder(const QString &path, Hold hold)
{
    int ready[2];
    int quit[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return;
    if (pipe2(quit, O_CLOEXEC) != 0) {
        ::close(ready[0]);
        ::close(ready[1]);
        return;
    }
    const QByteArray devicePath = QFile::encodeName(path);
    m_pid = fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls from here on: the parent has threads.
        ::close(ready[0]);
        ::close(quit[1]);
        char status = 'h';
        if (hold == Hold::Flock) {
            const int fd = ::open(devicePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0)
                status = 'f';
        }
        (void)!::write(ready[1], &status, 1);
        char byte;
        while (::read(quit[0], &byte, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    ::close(ready[1]);
    ::close(quit[0]);
    m_quit = quit[1];
    if (m_pid > 0) {
        pollfd fd{ready[0], POLLIN, 0};
        char status = 0;
        if (poll(&fd, 1, int(kStartLimit.count())) == 1 && ::read(ready[0], &status, 1) == 1)
            m_holding = status == 'h';
    }
    ::close(ready[0]);
}

DeviceHolder::~DeviceHolder()
{
    release();
}

void DeviceHolder::release()
{
    if (m_quit >= 0)
        ::close(m_quit);
    m_quit = -1;
    if (m_pid > 0) {
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    m_pid = -1;
    m_holding = false;
}

} // namespace kestavo::testing
