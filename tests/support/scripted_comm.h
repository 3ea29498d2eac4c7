#pragma once

#include "comm_control.h"
#include "fake_line.h"

#include <QSet>

#include <memory>

namespace kestavo::testing {

// The component over a FakeLine, with the window-facing accesses that the
// line cannot make fail (selecting a number, reading the state) scriptable too.
class ScriptedComm final : public CommControl
{
public:
    static QString devicePath(int n) { return QStringLiteral("/fake/com%1").arg(n); }
    static PortMap fakePorts();
    static std::unique_ptr<ScriptedComm> create();

    FakeLine &line() { return *m_fake; }

    QSet<qint16> refuseCommPortWrite;
    bool refusePortOpenRead = false;
    bool refuseCommPortRead = false;

    Result<qint16> CommPort() const override;
    Status setCommPort(qint16 number) override;
    Result<bool> PortOpen() const override;

private:
    ScriptedComm(std::unique_ptr<FakeLine> line, FakeLine *raw);

    FakeLine *m_fake = nullptr;
};

} // namespace kestavo::testing
