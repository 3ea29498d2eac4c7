#include "scripted_comm.h"

namespace kestavo::testing {

PortMap ScriptedComm::fakePorts()
{
    std::map<int, PortEntry> entries;
    for (int n = 1; n <= 10; ++n)
        entries[n] = {devicePath(n), QStringLiteral("%1 – Testadapter").arg(devicePath(n))};
    return PortMap(std::move(entries));
}

std::unique_ptr<ScriptedComm> ScriptedComm::create()
{
    auto line = std::make_unique<FakeLine>();
    FakeLine *raw = line.get();
    return std::unique_ptr<ScriptedComm>(new ScriptedComm(std::move(line), raw));
}

ScriptedComm::ScriptedComm(std::unique_ptr<FakeLine> line, FakeLine *raw)
    : CommControl(fakePorts(), std::move(line)), m_fake(raw)
{
}

Result<qint16> ScriptedComm::CommPort() const
{
    if (refuseCommPortRead)
        return scriptedFailure("CommPort read");
    return CommControl::CommPort();
}

Status ScriptedComm::setCommPort(qint16 number)
{
    if (refuseCommPortWrite.contains(number))
        return scriptedFailure("CommPort write");
    return CommControl::setCommPort(number);
}

Result<bool> ScriptedComm::PortOpen() const
{
    if (refusePortOpenRead)
        return scriptedFailure("PortOpen read");
    return CommControl::PortOpen();
}

} // namespace kestavo::testing
