#include "frm_main.h"

#include "ui_frmMain.h"

#include <limits>

namespace kestavo {

Status frmMain::cmdVerbindung_Click()
{
    const Result<bool> open = m_RS232->PortOpen();
    if (!open.ok())
        return open.failure();

    if (open.value()) {
        if (Status closed = m_RS232->setPortOpen(false); !closed.ok())
            return closed;
        m_lossReported = false;
        m_ui->cmdVerbindung->setText(tr("Verbinden"));
        setConnectedControls(false);
        return {};
    }

    // The selected index is a 16-bit value; its slot is computed in the same width.
    const auto index = static_cast<qint16>(selectedPortEntry());
    if (index == std::numeric_limits<qint16>::max()) {
        return Failure::make(FailureCode::Overflow,
                             tr("Überlauf: Der Listeneintrag %1 liegt außerhalb des Zahlenbereichs.").arg(index));
    }
    const qint16 slot = static_cast<qint16>(index + 1);
    if (slot < 1 || slot > kPortSlots) {
        return Failure::make(FailureCode::SubscriptOutOfRange,
                             tr("Index außerhalb des gültigen Bereichs: Bitte zuerst einen Port aus der Liste wählen."));
    }
    if (Status selected = m_RS232->setCommPort(ComPorts(slot)); !selected.ok())
        return selected;
    if (Status opened = m_RS232->setPortOpen(true); !opened.ok())
        return opened;
    // An adapter plugged in again may have come back under another name.
    if (const auto port = m_RS232->ports().find(ComPorts(slot))) {
        m_ui->cmbComPort->setItemData(index, port->description, Qt::ToolTipRole);
        updatePortToolTip();
    }
    m_ui->cmdVerbindung->setText(tr("Trennen"));
    setConnectedControls(true);
    return {};
}

} // namespace kestavo
