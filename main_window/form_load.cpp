#include "frm_main.h"

#include "ui_frmMain.h"

namespace kestavo {

void frmMain::Form_Load()
{
    m_ui->cmbComPort->clear();
    m_ui->cmbComPort->clearEditText();
    quint8 nextSlot = 1;

    m_skippedPorts.clear();
    int failureRecord = 0;
    Failure lastFailure;
    // From here on a failing step is abandoned, its code recorded, and the
    // next step still runs.
    const auto attempt = [&failureRecord, &lastFailure](const Status &status) {
        if (!status.ok()) {
            failureRecord = status.failure().code;
            lastFailure = status.failure();
        }
        return status.ok();
    };

    for (qint16 n = 1; n <= kPortSlots; ++n) {
        failureRecord = 0;
        lastFailure = {};
        (void)attempt(m_RS232->setCommPort(n));
        (void)attempt(m_RS232->setPortOpen(true));

        const bool noFailure = failureRecord == 0;
        const Result<bool> open = m_RS232->PortOpen();
        const Result<qint16> selected = m_RS232->CommPort();
        (void)attempt(open.status());
        (void)attempt(selected.status());
        const bool decisionFailed = !open.ok() || !selected.ok();
        const bool usable = decisionFailed || noFailure || (open.value() && selected.value() == n);
        if (!usable) {
            const auto port = m_RS232->ports().find(n);
            if (port && !lastFailure.is(FailureCode::PortNotMapped))
                m_skippedPorts << tr("Nicht nutzbar: %1 – %2").arg(port->device, lastFailure.text);
            continue; // left as it is, open or not
        }

        m_ui->cmbComPort->addItem(portText(n));
        const int entry = m_ui->cmbComPort->count() - 1;
        if (const auto port = m_RS232->ports().find(n))
            m_ui->cmbComPort->setItemData(entry, port->description, Qt::ToolTipRole);
        // QComboBox selects the first entry it gets; the list must stay
        // unselected until the selection after the loop.
        m_ui->cmbComPort->setCurrentIndex(-1);
        m_ComPorts[nextSlot - 1] = static_cast<quint8>(n);
        (void)attempt(m_RS232->setPortOpen(false));
        ++nextSlot;
    }

    const Result<bool> leftOpen = m_RS232->PortOpen();
    if (leftOpen.ok() && leftOpen.value()) {
        if (const Result<qint16> selected = m_RS232->CommPort(); selected.ok())
            m_ui->cmbComPort->setEditText(portText(selected.value()));
    } else if (m_ui->cmbComPort->count() > 0) {
        m_ui->cmbComPort->setCurrentIndex(0);
    }

    updatePortToolTip();

    if (nextSlot == 1) {
        m_ui->cmdVerbindung->setEnabled(false);
        m_ui->cmdSenden->setEnabled(false);
        m_ui->chkRTS->setEnabled(false);
        m_ui->chkDTR->setEnabled(false);
    }
}

} // namespace kestavo
