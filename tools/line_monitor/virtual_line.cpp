#include "virtual_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace kestavo::line_monitor {
namespace {

std::string failed(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

VirtualLine::~VirtualLine()
{
    if (m_masterFd >= 0)
        ::close(m_masterFd);
}

std::string VirtualLine::open()
{
    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_masterFd < 0)
        return failed("posix_openpt");
    if (::grantpt(m_masterFd) != 0)
        return failed("grantpt");
    if (::unlockpt(m_masterFd) != 0)
        return failed("unlockpt");

    char name[128];
    if (::ptsname_r(m_masterFd, name, sizeof name) != 0)
        return failed("ptsname_r");
    m_slavePath = name;

    // The pair shares one termios: raw here means a program that writes to the
    // slave without setting it up itself still arrives byte for byte (no \n → \r\n).
    termios settings {};
    if (::tcgetattr(m_masterFd, &settings) != 0)
        return failed("tcgetattr");
    ::cfmakeraw(&settings);
    // A serial port hangs up (drops DTR and RTS) at its last close unless told
    // otherwise; a pseudo-terminal starts without HUPCL.
    settings.c_cflag |= HUPCL;
    if (::tcsetattr(m_masterFd, TCSANOW, &settings) != 0)
        return failed("tcsetattr");

    const int flags = ::fcntl(m_masterFd, F_GETFL);
    if (flags < 0 || ::fcntl(m_masterFd, F_SETFL, flags | O_NONBLOCK) != 0)
        return failed("fcntl");
    return {};
}

} // namespace kestavo::line_monitor
