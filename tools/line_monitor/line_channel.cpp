#include "line_channel.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kestavo::line_monitor {
namespace {

constexpr std::size_t kQueueBlockSize = sizeof(kestavo_line_queue) * KESTAVO_LINE_MAX;

std::string failed(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

LineChannel::~LineChannel()
{
    if (m_queues)
        ::munmap(m_queues, kQueueBlockSize);
    for (const int fd : {m_readFd, m_writeFd, m_queueFd}) {
        if (fd >= 0)
            ::close(fd);
    }
}

std::string LineChannel::open()
{
    std::array<int, 2> ends {};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0)
        return failed("pipe2");
    m_readFd = ends[0];
    m_writeFd = ends[1];
    // The program must never block on a monitor that lags: a full pipe drops
    // the event instead.
    if (::fcntl(m_readFd, F_SETFL, O_NONBLOCK) != 0 || ::fcntl(m_writeFd, F_SETFL, O_NONBLOCK) != 0
        || ::fcntl(m_writeFd, F_SETFD, 0) != 0) {
        return failed("fcntl");
    }
    m_queueFd = ::memfd_create("kestavo-line-queues", 0);
    if (m_queueFd < 0)
        return failed("memfd_create");
    if (::ftruncate(m_queueFd, kQueueBlockSize) != 0)
        return failed("ftruncate");
    void *block = ::mmap(nullptr, kQueueBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, m_queueFd, 0);
    if (block == MAP_FAILED)
        return failed("mmap");
    m_queues = static_cast<kestavo_line_queue *>(block);
    return {};
}

std::string LineChannel::exportFor(const std::string &devicePath, const std::string &library) const
{
    std::string preload = library;
    if (const char *existing = std::getenv("LD_PRELOAD"); existing && *existing)
        preload += std::string(":") + existing;
    const std::array<std::pair<const char *, std::string>, 4> variables {{
        {KESTAVO_LINE_PATHS, devicePath},
        {KESTAVO_LINE_EVENTS_FD, std::to_string(m_writeFd)},
        {KESTAVO_LINE_QUEUE_FD, std::to_string(m_queueFd)},
        {"LD_PRELOAD", preload},
    }};
    for (const auto &[name, value] : variables) {
        if (::setenv(name, value.c_str(), 1) != 0)
            return failed("setenv");
    }
    return {};
}

void LineChannel::closeChildEnd()
{
    if (m_writeFd >= 0)
        ::close(m_writeFd);
    m_writeFd = -1;
}

std::vector<LineEvent> LineChannel::readEvents()
{
    std::array<char, 4096> buffer {};
    for (;;) {
        const ssize_t count = ::read(m_readFd, buffer.data(), buffer.size());
        if (count > 0) {
            m_partial.append(buffer.data(), static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        break;
    }
    std::vector<LineEvent> events;
    std::size_t start = 0;
    for (std::size_t end; (end = m_partial.find('\n', start)) != std::string::npos; start = end + 1) {
        if (auto event = parseLineEvent(std::string_view(m_partial).substr(start, end - start)))
            events.push_back(std::move(*event));
    }
    m_partial.erase(0, start);
    return events;
}

std::string findLineEmulation(const std::string &monitorPath)
{
    char resolved[PATH_MAX];
    const std::string self = ::realpath(monitorPath.c_str(), resolved) ? resolved : monitorPath;
    const std::string dir = self.substr(0, self.rfind('/') + 1);
    for (const std::string &candidate :
         {dir + "libkestavo-line-emulation.so", dir + KESTAVO_LINE_EMULATION_FROM_BINDIR}) {
        if (::access(candidate.c_str(), R_OK) == 0)
            return candidate;
    }
    return {};
}

} // namespace kestavo::line_monitor
