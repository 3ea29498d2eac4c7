#pragma once

#include "serial_line.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <deque>
#include <map>
#include <optional>

namespace kestavo::testing {

// A scripted line: each operation can be told to fail, once or from now on,
// and everything the component did to it is recorded for the test to read.
class FakeLine final : public SerialLine
{
    Q_OBJECT

public:
    enum class Op { Open, Close, Dtr, Rts, Write };

    struct LevelChange {
        bool dtr; // false: RTS
        bool high;
        bool together = false; // set with the other line in one request
        friend bool operator==(const LevelChange &, const LevelChange &) = default;
    };

    // Devices that exist; open() of any other path fails as "not found".
    QStringList presentDevices;
    // Devices held by another program.
    QStringList busyDevices;
    // Lines without modem-control lines (like a pseudo-terminal).
    bool modemLinesSupported = true;

    // Bytes that reached the line, and those still queued in it.
    QByteArray sent;
    QByteArray queued;
    // When false, write() keeps bytes queued until deliver() or close().
    bool deliverAtOnce = true;

    QStringList openedDevices;
    QList<LevelChange> levelChanges;
    int closeCount = 0;
    std::optional<std::chrono::milliseconds> lastDrainLimit;

    void failNext(Op op, Failure failure) { m_failNext[op].push_back(std::move(failure)); }
    void failAlways(Op op, Failure failure) { m_failAlways[op] = std::move(failure); }
    void clearFailures();

    // Hands up to count queued bytes to the line.
    void deliver(qint64 count = -1);
    // The device vanishes: the signal fires as often as Qt would fire it.
    void vanish(int signalRepeats = 1);

    bool dtr() const { return m_dtr; }
    bool rts() const { return m_rts; }
    QString device() const { return m_device; }

    Status open(const QString &device) override;
    bool isOpen() const override { return m_open; }
    Result<qint64> close(std::chrono::milliseconds drainLimit) override;
    Status setDataTerminalReady(bool high) override;
    Status setRequestToSend(bool high) override;
    Status setModemLines(bool dtr, bool rts) override;
    Status write(const QByteArray &bytes) override;
    qint64 pendingBytes() const override { return m_open ? queued.size() : 0; }

private:
    std::optional<Failure> scripted(Op op);
    Status setLevel(bool dtr, bool high, bool together = false);

    std::map<Op, std::deque<Failure>> m_failNext;
    std::map<Op, Failure> m_failAlways;
    bool m_open = false;
    bool m_gone = false;
    bool m_dtr = false;
    bool m_rts = false;
    QString m_device;
};

Failure scriptedFailure(const char *what);

} // namespace kestavo::testing
