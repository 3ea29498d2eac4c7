#pragma once

#include <string>

namespace kestavo::line_monitor {

// The master end of a pseudo-terminal pair, held open for the object's
// lifetime so the slave end never sees a hang-up. The slave is left unopened.
class VirtualLine
{
public:
    VirtualLine() = default;
    VirtualLine(const VirtualLine &) = delete;
    VirtualLine &operator=(const VirtualLine &) = delete;
    ~VirtualLine();

    // Empty on success, otherwise what failed.
    std::string open();

    int masterFd() const { return m_masterFd; }
    const std::string &slavePath() const { return m_slavePath; }

private:
    int m_masterFd = -1;
    std::string m_slavePath;
};

} // namespace kestavo::line_monitor
