#include "qt_serial_line.h"

#include "device_access.h"

#include <QDeadlineTimer>
#include <QThread>

namespace kestavo {

namespace {
constexpr std::chrono::milliseconds kKernelPoll{5};
}

QtSerialLine::QtSerialLine(QObject *parent) : SerialLine(parent)
{
    connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialLine::onError);
}

QtSerialLine::~QtSerialLine()
{
    if (m_open)
        (void)close(std::chrono::milliseconds{0});
}

Status QtSerialLine::open(const QString &device)
{
    if (m_open)
        return Failure::make(FailureCode::PortAlreadyOpen, tr("%1 ist bereits geöffnet.").arg(device));
    if (Status checked = device::checkBeforeOpen(device); !checked.ok())
        return checked;

    m_device = device;
    m_port.setPortName(device);
    m_port.setBaudRate(QSerialPort::Baud9600);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    // The tool only transmits: nothing is read, so nothing piles up unread.
    if (!m_port.open(QIODevice::WriteOnly))
        return openFailure();
    if (Status held = device::holdExclusive(m_port.handle(), device); !held.ok()) {
        m_port.close();
        return held;
    }
    m_port.clearError();
    m_open = true;
    m_lost = false;
    m_lostPending = 0;
    return {};
}

Failure QtSerialLine::openFailure() const
{
    const QString qtText = m_port.errorString();
    switch (m_port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return Failure::make(FailureCode::DeviceNotFound, tr("Das Gerät %1 gibt es nicht.").arg(m_device));
    case QSerialPort::PermissionError:
        if (qtText.contains(QLatin1String("lock"), Qt::CaseInsensitive)
            || qtText.contains(QLatin1String("busy"), Qt::CaseInsensitive)) {
            return device::busy(m_device);
        }
        return device::permissionDenied(m_device);
    case QSerialPort::UnsupportedOperationError:
        return Failure::make(FailureCode::NotASerialDevice, tr("%1 ist kein serielles Gerät.").arg(m_device));
    default:
        return Failure::make(FailureCode::OpenFailed,
                             tr("%1 lässt sich nicht öffnen (%2).").arg(m_device, qtText));
    }
}

Failure QtSerialLine::goneFailure() const
{
    return Failure::make(FailureCode::DeviceGone,
                         tr("Das Gerät %1 ist nicht mehr erreichbar (abgezogen oder Gegenstelle geschlossen).")
                             .arg(m_device));
}

void QtSerialLine::onError(QSerialPort::SerialPortError error)
{
    // NoError follows every successful open; a modem-line setter on a line
    // without such lines reports here too, and its caller already knows.
    if (!m_open || m_lost
        || (error != QSerialPort::ResourceError && error != QSerialPort::WriteError)) {
        return;
    }
    m_lost = true;
    m_lostPending = m_port.bytesToWrite();
    // Qt keeps its write notifier armed and repeats this signal without end;
    // closing the handle is the only way to stop it, and it must not happen
    // inside Qt's own notifier callback.
    QMetaObject::invokeMethod(this, [this] { if (m_lost) m_port.close(); }, Qt::QueuedConnection);
    Failure failure = goneFailure();
    if (m_lostPending == 1)
        failure.text += tr(" 1 Byte wurde nicht mehr gesendet.");
    else if (m_lostPending > 1)
        failure.text += tr(" %1 Bytes wurden nicht mehr gesendet.").arg(m_lostPending);
    emit lost(failure);
}

Result<qint64> QtSerialLine::close(std::chrono::milliseconds drainLimit)
{
    if (!m_open)
        return qint64{0};
    qint64 discarded = 0;
    if (!m_lost) {
        const QDeadlineTimer deadline(drainLimit);
        while (m_port.bytesToWrite() > 0 && !deadline.hasExpired() && !m_lost) {
            if (!m_port.waitForBytesWritten(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
                break;
        }
        while (!m_lost && device::kernelQueued(m_port.handle()) > 0 && !deadline.hasExpired())
            QThread::msleep(static_cast<unsigned long>(kKernelPoll.count()));
    }
    if (m_lost) {
        discarded = m_lostPending;
    } else {
        discarded = m_port.bytesToWrite() + device::kernelQueued(m_port.handle());
        device::discardKernelQueue(m_port.handle());
    }
    if (m_port.isOpen())
        m_port.close();
    m_open = false;
    m_lost = false;
    m_lostPending = 0;
    return discarded;
}

Status QtSerialLine::setModemLine(bool dtr, bool high)
{
    if (!m_open)
        return Failure::make(FailureCode::PortNotOpen, tr("%1 ist nicht geöffnet.").arg(m_device));
    if (m_lost)
        return goneFailure();
    const bool done = dtr ? m_port.setDataTerminalReady(high) : m_port.setRequestToSend(high);
    if (done)
        return {};
    const QSerialPort::SerialPortError error = m_port.error();
    const QString qtText = m_port.errorString();
    m_port.clearError();
    const QString line = dtr ? QStringLiteral("DTR") : QStringLiteral("RTS");
    if (error == QSerialPort::UnsupportedOperationError) {
        return Failure::make(FailureCode::ModemLinesUnsupported,
                             tr("%1 hat keine Steuerleitung %2 (zum Beispiel ein Pseudo-Terminal); "
                                "die Leitung lässt sich nicht setzen.")
                                 .arg(m_device, line));
    }
    return Failure::make(FailureCode::ModemLineFailed,
                         tr("%1 lässt sich an %2 nicht setzen (%3).").arg(line, m_device, qtText));
}

Status QtSerialLine::setDataTerminalReady(bool high)
{
    return setModemLine(true, high);
}

Status QtSerialLine::setRequestToSend(bool high)
{
    return setModemLine(false, high);
}

Status QtSerialLine::setModemLines(bool dtr, bool rts)
{
    if (!m_open)
        return Failure::make(FailureCode::PortNotOpen, tr("%1 ist nicht geöffnet.").arg(m_device));
    if (m_lost)
        return goneFailure();
    const Result<bool> together = device::setModemLines(m_port.handle(), m_device, dtr, rts);
    if (!together.ok())
        return together.failure();
    if (together.value())
        return {};
    if (Status set = setModemLine(true, dtr); !set.ok())
        return set;
    return setModemLine(false, rts);
}

Status QtSerialLine::write(const QByteArray &bytes)
{
    if (!m_open)
        return Failure::make(FailureCode::PortNotOpen, tr("%1 ist nicht geöffnet.").arg(m_device));
    if (m_lost)
        return goneFailure();
    if (m_port.write(bytes) != bytes.size()) {
        return Failure::make(FailureCode::WriteFailed,
                             tr("Senden an %1 fehlgeschlagen (%2).").arg(m_device, m_port.errorString()));
    }
    return {};
}

qint64 QtSerialLine::pendingBytes() const
{
    if (!m_open)
        return 0;
    return m_lost ? m_lostPending : m_port.bytesToWrite();
}

} // namespace kestavo
