#pragma once

#include "serial_line.h"

#include <QSerialPort>

namespace kestavo {

// The real line: QSerialPort, with the traps measured on Qt 6.4 closed:
// close() no longer drops bytes silently or blocks for the kernel's drain,
// a vanished device is reported once instead of in a signal storm, and the
// advisory lock other serial tools use is honoured.
class QtSerialLine final : public SerialLine
{
    Q_OBJECT

public:
    explicit QtSerialLine(QObject *parent = nullptr);
    ~QtSerialLine() override;

    Status open(const QString &device) override;
    bool isOpen() const override { return m_open; }
    Result<qint64> close(std::chrono::milliseconds drainLimit) override;
    Status setDataTerminalReady(bool high) override;
    Status setRequestToSend(bool high) override;
    Status setModemLines(bool dtr, bool rts) override;
    Status write(const QByteArray &bytes) override;
    qint64 pendingBytes() const override;

private:
    void onError(QSerialPort::SerialPortError error);
    Failure openFailure() const;
    Failure goneFailure() const;
    Status setModemLine(bool dtr, bool high);

    QSerialPort m_port;
    QString m_device;
    bool m_open = false;
    bool m_lost = false;
    qint64 m_lostPending = 0;
};

} // namespace kestavo
