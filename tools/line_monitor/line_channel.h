#pragma once

#include "line_emulation_protocol.h"
#include "line_event.h"

#include <string>
#include <vector>

namespace kestavo::line_monitor {

// What the monitor hands down to the program for the line emulation: the
// event pipe and the shared transmit queues. Both survive exec in the child.
class LineChannel
{
public:
    LineChannel() = default;
    LineChannel(const LineChannel &) = delete;
    LineChannel &operator=(const LineChannel &) = delete;
    ~LineChannel();

    // Empty on success, otherwise what failed.
    std::string open();

    // Sets the variables the emulation reads, and LD_PRELOAD, for the child.
    std::string exportFor(const std::string &devicePath, const std::string &library) const;

    // Called in the parent after fork: the child holds the write end now,
    // so the pipe reports end of file once every writer is gone.
    void closeChildEnd();

    int eventsFd() const { return m_readFd; }
    std::vector<LineEvent> readEvents();

    kestavo_line_queue &queue() { return m_queues[0]; }

private:
    int m_readFd = -1;
    int m_writeFd = -1;
    int m_queueFd = -1;
    kestavo_line_queue *m_queues = nullptr;
    std::string m_partial;
};

// The emulation library: beside the monitor in the build tree, in the
// library folder once installed.
std::string findLineEmulation(const std::string &monitorPath);

} // namespace kestavo::line_monitor
