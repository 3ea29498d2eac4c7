#include "comm_control.h"

#include "windows1252.h"

namespace kestavo {

CommControl::CommControl(PortMap ports, std::unique_ptr<SerialLine> line, QObject *parent)
    : QObject(parent), m_ports(std::move(ports)), m_line(std::move(line))
{
    connect(m_line.get(), &SerialLine::lost, this, &CommControl::onLineLost);
}

CommControl::~CommControl()
{
    if (m_open)
        (void)m_line->close(kDrainLimit);
}

QString CommControl::portName() const
{
    return QStringLiteral("COM %1").arg(m_commPort);
}

Failure CommControl::goneFailure() const
{
    return Failure::make(FailureCode::DeviceGone,
                         tr("Das Gerät von %1 ist nicht mehr erreichbar; bitte trennen.").arg(portName()));
}

Result<qint16> CommControl::CommPort() const
{
    return m_commPort;
}

Status CommControl::setCommPort(qint16 number)
{
    if (m_open) {
        return Failure::make(FailureCode::PortAlreadyOpen,
                             tr("Die Portnummer kann nicht geändert werden, solange %1 geöffnet ist.")
                                 .arg(portName()));
    }
    if (number < 1) {
        return Failure::make(FailureCode::InvalidPortNumber,
                             tr("Ungültige Portnummer %1: erlaubt sind Nummern ab 1.").arg(number));
    }
    m_commPort = number;
    return {};
}

Result<bool> CommControl::PortOpen() const
{
    return m_open;
}

Status CommControl::setPortOpen(bool open)
{
    if (open) {
        if (m_open)
            return Failure::make(FailureCode::PortAlreadyOpen, tr("%1 ist bereits geöffnet.").arg(portName()));
        const auto entry = m_ports.resolve(m_commPort);
        if (!entry) {
            return Failure::make(FailureCode::PortNotMapped,
                                 tr("Für %1 gibt es kein serielles Gerät.").arg(portName()));
        }
        if (Status opened = m_line->open(entry->device); !opened.ok())
            return opened;
        m_open = true;
        m_gone = false;
        ++m_connection;
        // A line without modem-control lines must still open; an explicit
        // DTR or RTS request on it is what reports that.
        (void)m_line->setModemLines(m_dtr, m_rts);
        return {};
    }

    if (!m_open)
        return {};
    const Result<qint64> closed = m_line->close(m_gone ? std::chrono::milliseconds{0} : kDrainLimit);
    if (!closed.ok())
        return closed.failure();
    m_open = false;
    m_gone = false;
    if (closed.value() > 0)
        emit bytesDiscarded(closed.value());
    return {};
}

Status CommControl::applyLevel(bool dtr, bool high)
{
    (dtr ? m_dtr : m_rts) = high;
    if (!m_open)
        return {};
    if (m_gone)
        return goneFailure();
    return dtr ? m_line->setDataTerminalReady(high) : m_line->setRequestToSend(high);
}

Status CommControl::setDTREnable(bool high)
{
    return applyLevel(true, high);
}

Status CommControl::setRTSEnable(bool high)
{
    return applyLevel(false, high);
}

Status CommControl::setOutput(const QString &text)
{
    if (!m_open)
        return Failure::make(FailureCode::PortNotOpen, tr("%1 ist nicht geöffnet.").arg(portName()));
    if (m_gone)
        return goneFailure();
    const EncodeResult encoded = toWindows1252(text);
    if (encoded.unencodable) {
        return Failure::make(FailureCode::CharacterNotEncodable,
                             unencodableCharacterText(*encoded.unencodable) + u' ' + tr("Es wurde nichts gesendet."));
    }
    if (encoded.bytes.isEmpty())
        return {};
    const qint64 queued = m_line->pendingBytes();
    if (queued + encoded.bytes.size() > kMaxQueuedBytes) {
        return Failure::make(FailureCode::TransmitQueueFull,
                             tr("Der Text ist zu lang: %1 Bytes warten schon, dazu kämen %2 Bytes; "
                                "höchstens %3 Bytes dürfen anstehen. Es wurde nichts gesendet.")
                                 .arg(queued)
                                 .arg(encoded.bytes.size())
                                 .arg(kMaxQueuedBytes));
    }
    return m_line->write(encoded.bytes);
}

void CommControl::onLineLost(const Failure &failure)
{
    if (!m_open || m_gone)
        return;
    m_gone = true;
    QMetaObject::invokeMethod(
        this,
        [this, failure, connection = m_connection] {
            // Closed (and maybe opened again) meanwhile: the report is about a
            // connection that no longer exists.
            if (m_open && m_connection == connection)
                emit deviceLost(failure);
        },
        Qt::QueuedConnection);
}

} // namespace kestavo
