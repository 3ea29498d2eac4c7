#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <thread>

namespace kestavo::testing {

// A pseudo-terminal pair made for one test. The test keeps a slave descriptor
// of its own: it reads the terminal settings through it, and it keeps the
// slave from hanging up whenever the line under test closes.
class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return m_master >= 0 && m_slave >= 0; }
    QString error() const { return m_error; }
    QString slavePath() const { return m_slavePath; }
    // The name QSerialPort gives its lock file for this slave: LCK..pts_N.
    QString lockFileName() const;
    int master() const { return m_master; }
    int slave() const { return m_slave; }

    // Whatever the master can read right now, without waiting.
    QByteArray readAvailable();
    // The far end goes away: the slave hangs up.
    void closeMaster();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QString m_error;
};

// Reads a master on a thread of its own until `expected` bytes are in or the
// time limit is up, so that the sender's event loop alone decides the pace.
class MasterReader
{
public:
    MasterReader(int master, qsizetype expected, std::chrono::milliseconds limit);
    ~MasterReader();
    MasterReader(const MasterReader &) = delete;
    MasterReader &operator=(const MasterReader &) = delete;

    bool finished() const { return m_finished.load(); }
    // Valid once finished() is true.
    const QByteArray &data() const { return m_data; }

private:
    void run(int master, qsizetype expected, std::chrono::milliseconds limit);

    QByteArray m_data;
    std::atomic<bool> m_finished = false;
    std::thread m_thread;
};

} // namespace kestavo::testing
