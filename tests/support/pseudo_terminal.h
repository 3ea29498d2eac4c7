#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

namespace kestavo::testing {

// Where QSerialPort keeps the lock file for a device: LCK.. and the path
// below /dev/ with '/' as '_'.
QString lockFilePath(const QString &device);

// A pseudo-terminal made for one test: the test maps its slave as a port and
// plays the far end on the (non-blocking) master.
class PseudoTerminal
{
public:
    // A kept slave descriptor lets the test read the terminal settings, and
    // keeps the slave from hanging up whenever the line under test closes.
    // Without one, a closed master is a far end that is really gone.
    enum class Slave { Kept, NotKept };

    explicit PseudoTerminal(Slave slave = Slave::Kept);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString slavePath() const { return m_slavePath; }
    int master() const { return m_master; }
    // -1 unless the slave is kept.
    int slave() const { return m_slave; }

    // Reads what the master has, waiting at most `wait` for the first byte and
    // then until the line has been quiet for `quiet`; by default only what is
    // there right now.
    QByteArray read(std::chrono::milliseconds wait = {}, std::chrono::milliseconds quiet = {});
    // The far end goes away.
    void closeMaster();

    // Removes lock files a killed opener left for the slave (pseudo-terminal
    // numbers come round again). False if one is left, held by a live process.
    bool removeStaleLock() const;

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QString m_error;
};

// Reads the master on a thread of its own, so that the sender's event loop
// alone decides the pace: until `expected` bytes are in or `limit` has passed.
// A far end that vanishes then closes the master, whatever the sender is
// doing at that moment.
class MasterReader
{
public:
    enum class Then { KeepMaster, CloseMaster };
    static constexpr qsizetype kEverything = std::numeric_limits<qsizetype>::max();

    MasterReader(PseudoTerminal &pty, qsizetype expected, std::chrono::microseconds limit,
                 Then then = Then::KeepMaster);
    ~MasterReader();
    MasterReader(const MasterReader &) = delete;
    MasterReader &operator=(const MasterReader &) = delete;

    bool finished() const { return m_finished.load(); }
    // Valid once finished() is true.
    const QByteArray &data() const { return m_data; }

private:
    void run(qsizetype expected, std::chrono::microseconds limit, Then then);

    PseudoTerminal &m_pty;
    QByteArray m_data;
    std::atomic<bool> m_finished = false;
    std::thread m_thread;
};

} // namespace kestavo::testing
