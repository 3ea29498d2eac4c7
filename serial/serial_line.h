#pragma once

#include "failure.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>

namespace kestavo {

// One physical line under the component: a device opened with the fixed
// settings (9600 baud, 8N1, no handshaking), write-only. The real one wraps
// QSerialPort; tests put a scripted fake in its place.
class SerialLine : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual Status open(const QString &device) = 0;
    virtual bool isOpen() const = 0;

    // Lets queued bytes drain for at most drainLimit, then throws the rest
    // away and closes without blocking. Returns how many bytes were thrown away.
    virtual Result<qint64> close(std::chrono::milliseconds drainLimit) = 0;

    virtual Status setDataTerminalReady(bool high) = 0;
    virtual Status setRequestToSend(bool high) = 0;
    // Both at once, where the platform can: what an open applies.
    virtual Status setModemLines(bool dtr, bool rts) = 0;

    // Queues the bytes; the event loop sends them.
    virtual Status write(const QByteArray &bytes) = 0;

    // Bytes accepted by write() and not yet handed to the device.
    virtual qint64 pendingBytes() const = 0;

signals:
    // The device vanished while open (adapter unplugged, far end closed).
    // Emitted at most once per open; pendingBytes() then counts what is lost.
    void lost(const kestavo::Failure &failure);
};

} // namespace kestavo
