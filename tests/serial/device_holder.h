#pragma once

#include <QString>

#include <sys/types.h>

namespace kestavo::testing {

// Another process that holds a device: it only lives (so that a lock file can
// name a live PID), or it also holds flock(LOCK_EX) on the device.
class DeviceHolder
{
public:
    enum class Hold { Nothing, Flock };

    DeviceHolder(const QString &path, Hold hold);
    ~DeviceHolder();
    DeviceHolder(const DeviceHolder &) = delete;
    DeviceHolder &operator=(const DeviceHolder &) = delete;

    // True once the child reported that it holds what it was asked to.
    bool isHolding() const { return m_holding; }
    pid_t pid() const { return m_pid; }
    // Lets the child exit and reaps it.
    void release();

private:
    pid_t m_pid = -1;
    int m_quit = -1;
    bool m_holding = false;
};

} // namespace kestavo::testing
