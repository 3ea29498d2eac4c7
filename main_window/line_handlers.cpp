#include "frm_main.h"

#include "ui_frmMain.h"

namespace kestavo {

Status frmMain::cmdSenden_Click()
{
    return m_RS232->setOutput(m_ui->txtDaten->text());
}

// Runs after the click has changed the box: checked raises the line,
// unchecked lowers it, and a greyed box changes nothing. The box is read
// afresh for each decision.
Status frmMain::followBox(const QCheckBox &box, Status (CommControl::*setLevel)(bool))
{
    if (box.checkState() == Qt::Checked) {
        if (Status set = (m_RS232.get()->*setLevel)(true); !set.ok())
            return set;
    }
    if (box.checkState() == Qt::Unchecked)
        return (m_RS232.get()->*setLevel)(false);
    return {};
}

Status frmMain::chkDTR_Click()
{
    return followBox(*m_ui->chkDTR, &CommControl::setDTREnable);
}

Status frmMain::chkRTS_Click()
{
    return followBox(*m_ui->chkRTS, &CommControl::setRTSEnable);
}

} // namespace kestavo
