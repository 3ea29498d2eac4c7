#include "fake_line.h"

namespace kestavo::testing {

Failure scriptedFailure(const char *what)
{
    return Failure::make(FailureCode::OpenFailed, QString::fromLatin1("scripted: %1").arg(QLatin1String(what)));
}

void FakeLine::clearFailures()
{
    m_failNext.clear();
    m_failAlways.clear();
}

std::optional<Failure> FakeLine::scripted(Op op)
{
    if (auto &next = m_failNext[op]; !next.empty()) {
        Failure failure = next.front();
        next.pop_front();
        return failure;
    }
    if (const auto it = m_failAlways.find(op); it != m_failAlways.end())
        return it->second;
    return std::nullopt;
}

Status FakeLine::open(const QString &device)
{
    if (auto failure = scripted(Op::Open))
        return *failure;
    if (m_open)
        return Failure::make(FailureCode::PortAlreadyOpen, QStringLiteral("fake: already open"));
    if (!presentDevices.contains(device))
        return Failure::make(FailureCode::DeviceNotFound, QStringLiteral("fake: %1 not found").arg(device));
    if (busyDevices.contains(device))
        return Failure::make(FailureCode::DeviceBusy, QStringLiteral("fake: %1 busy").arg(device));
    m_open = true;
    m_gone = false;
    m_device = device;
    openedDevices << device;
    return {};
}

Result<qint64> FakeLine::close(std::chrono::milliseconds drainLimit)
{
    if (auto failure = scripted(Op::Close))
        return *failure;
    lastDrainLimit = drainLimit;
    ++closeCount;
    const qint64 discarded = m_open ? queued.size() : 0;
    queued.clear();
    m_open = false;
    m_gone = false;
    return discarded;
}

Status FakeLine::setLevel(bool dtr, bool high, bool together)
{
    if (auto failure = together ? std::nullopt : scripted(dtr ? Op::Dtr : Op::Rts))
        return *failure;
    if (!m_open)
        return Failure::make(FailureCode::PortNotOpen, QStringLiteral("fake: not open"));
    if (m_gone)
        return Failure::make(FailureCode::DeviceGone, QStringLiteral("fake: gone"));
    if (!modemLinesSupported)
        return Failure::make(FailureCode::ModemLinesUnsupported, QStringLiteral("fake: no modem lines"));
    (dtr ? m_dtr : m_rts) = high;
    levelChanges.append({dtr, high, together});
    return {};
}

Status FakeLine::setModemLines(bool dtr, bool rts)
{
    // One request: a failure scripted for either line refuses it whole.
    const auto dtrFailure = scripted(Op::Dtr);
    const auto rtsFailure = scripted(Op::Rts);
    if (dtrFailure || rtsFailure)
        return dtrFailure ? *dtrFailure : *rtsFailure;
    if (Status set = setLevel(true, dtr, true); !set.ok())
        return set;
    return setLevel(false, rts, true);
}

Status FakeLine::setDataTerminalReady(bool high)
{
    return setLevel(true, high);
}

Status FakeLine::setRequestToSend(bool high)
{
    return setLevel(false, high);
}

Status FakeLine::write(const QByteArray &bytes)
{
    if (auto failure = scripted(Op::Write))
        return *failure;
    if (!m_open)
        return Failure::make(FailureCode::PortNotOpen, QStringLiteral("fake: not open"));
    if (m_gone)
        return Failure::make(FailureCode::DeviceGone, QStringLiteral("fake: gone"));
    queued += bytes;
    if (deliverAtOnce)
        deliver();
    return {};
}

void FakeLine::deliver(qint64 count)
{
    if (m_gone)
        return;
    const qint64 n = count < 0 ? queued.size() : std::min<qint64>(count, queued.size());
    sent += queued.left(n);
    queued.remove(0, n);
}

void FakeLine::vanish(int signalRepeats)
{
    m_gone = true;
    const Failure failure = Failure::make(FailureCode::DeviceGone, QStringLiteral("fake: device gone"));
    for (int i = 0; i < signalRepeats; ++i)
        emit lost(failure);
}

} // namespace kestavo::testing
