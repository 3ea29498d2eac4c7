#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <thread>

namespace kestavo::drills {

// A fresh pseudo-terminal: the drill maps its slave as a COM port and plays
// the far end on the master. The drill itself holds no slave descriptor, so
// a closed master is a line whose far end is really gone.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString error() const { return m_error; }
    QString slavePath() const { return m_slavePath; }
    int master() const { return m_master; }

    // Reads what the master has, waiting at most `wait` for the first byte and
    // then until the line has been quiet for `quiet`.
    QByteArray read(std::chrono::milliseconds wait, std::chrono::milliseconds quiet);
    void closeMaster();

    // Removes the lock file a killed opener may have left for the slave;
    // pseudo-terminal numbers come round again.
    void removeStaleLock() const;

private:
    int m_master = -1;
    QString m_slavePath;
    QString m_error;
};

// The far end on a thread of its own: reads the master until `readFor` has
// passed, then closes it, whatever the sender is doing at that moment.
class FarEnd
{
public:
    FarEnd(PtyPair &pty, std::chrono::microseconds readFor);
    ~FarEnd();
    FarEnd(const FarEnd &) = delete;
    FarEnd &operator=(const FarEnd &) = delete;

    bool closed() const { return m_closed.load(); }
    // Valid once closed() is true.
    const QByteArray &received() const { return m_received; }

private:
    void run(std::chrono::microseconds readFor);

    PtyPair &m_pty;
    QByteArray m_received;
    std::atomic<bool> m_closed = false;
    std::thread m_thread;
};

} // namespace kestavo::drills
