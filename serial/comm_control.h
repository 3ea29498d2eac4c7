#pragma once

#include "failure.h"
#include "port_map.h"
#include "serial_line.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

namespace kestavo {

// The serial port component the window drives: the port number for the next
// open, the open state, the DTR and RTS levels and the transmit text. Every
// access completes or fails; nothing here talks to the user.
class CommControl : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kDrainLimit{1000};
    // Four mebibytes take over an hour at 9600 baud; more is a mistake, not a test.
    static constexpr qint64 kMaxQueuedBytes = 4 * 1024 * 1024;

    CommControl(PortMap ports, std::unique_ptr<SerialLine> line, QObject *parent = nullptr);
    ~CommControl() override;

    // Virtual so that tests can refuse any single access.
    virtual Result<qint16> CommPort() const;
    virtual Status setCommPort(qint16 number);

    virtual Result<bool> PortOpen() const;
    virtual Status setPortOpen(bool open);

    bool DTREnable() const { return m_dtr; }
    virtual Status setDTREnable(bool high);
    bool RTSEnable() const { return m_rts; }
    virtual Status setRTSEnable(bool high);

    virtual Status setOutput(const QString &text);

    const PortMap &ports() const { return m_ports; }

signals:
    // The device went away while open; reported once, queued so that the
    // receiver runs on a clean stack, and dropped if the port was closed
    // before the report arrived. PortOpen stays true until closed.
    void deviceLost(const kestavo::Failure &failure);
    // A close threw away bytes that had not reached the line.
    void bytesDiscarded(qint64 count);

private:
    void onLineLost(const Failure &failure);
    Status applyLevel(bool dtr, bool high);
    QString portName() const;
    Failure goneFailure() const;

    PortMap m_ports;
    std::unique_ptr<SerialLine> m_line;
    qint16 m_commPort = 1;
    bool m_open = false;
    bool m_gone = false;
    quint64 m_connection = 0; // counts successful opens
    bool m_dtr = false;
    bool m_rts = false;
};

} // namespace kestavo
