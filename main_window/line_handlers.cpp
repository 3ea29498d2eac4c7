#include "frm_main.h"

#include "ui_frmMain.h"

namespace kestavo {

Status frmMain::cmdSenden_Click()
{
    return m_RS232->setOutput(m_ui->txtDaten->text());
}

// Runs after the click has changed the box: checked raises the line,
// unchecked lowers it, and a greyed box changes nothing.
Status frmMain::chkDTR_Click()
{
    if (m_ui->chkDTR->checkState() == Qt::Checked) {
        if (Status set = m_RS232->setDTREnable(true); !set.ok())
            return set;
    }
    if (m_ui->chkDTR->checkState() == Qt::Unchecked)
        return m_RS232->setDTREnable(false);
    return {};
}

Status frmMain::chkRTS_Click()
{
    if (m_ui->chkRTS->checkState() == Qt::Checked) {
        if (Status set = m_RS232->setRTSEnable(true); !set.ok())
            return set;
    }
    if (m_ui->chkRTS->checkState() == Qt::Unchecked)
        return m_RS232->setRTSEnable(false);
    return {};
}

} // namespace kestavo
