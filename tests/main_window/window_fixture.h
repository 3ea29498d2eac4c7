#pragma once

#include "frm_main.h"
#include "scripted_comm.h"
#include "ui_frmMain.h"

#include <QList>
#include <QStringList>

#include <memory>

namespace kestavo::testing {

// A window over the scripted component, with what the user would be told
// collected instead of shown.
struct WindowFixture {
    ScriptedComm *comm = nullptr;
    std::unique_ptr<frmMain> window;
    QList<Failure> failures;
    QStringList notices;

    explicit WindowFixture(const QList<int> &presentPorts = {})
    {
        auto scripted = ScriptedComm::create();
        comm = scripted.get();
        for (int n : presentPorts)
            comm->line().presentDevices << ScriptedComm::devicePath(n);
        window = std::make_unique<frmMain>(std::move(scripted));
        window->setUserMessages({[this](const Failure &f) { failures << f; },
                                 [this](const QString &text) { notices << text; }});
    }

    FakeLine &line() { return comm->line(); }
    int RS232CommPort() const { return comm->CommPort().value(); }
    Ui::frmMain &ui() { return window->ui(); }

    void loadAndConnect(int entry)
    {
        window->Form_Load();
        ui().cmbComPort->setCurrentIndex(entry);
        ui().cmdVerbindung->click();
    }
};

} // namespace kestavo::testing
