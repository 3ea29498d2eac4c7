#include "frm_main.h"

#include "failure_box.h"
#include "send_preview.h"
#include "ui_frmMain.h"

#include <QCloseEvent>
#include <QCompleter>

namespace kestavo {

frmMain::frmMain(std::unique_ptr<CommControl> rs232, QWidget *parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::frmMain>()), m_RS232(std::move(rs232))
{
    m_ui->setupUi(this);
    // A fixed single border: only the close button, no resizing.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
    setFixedSize(size());
    m_messages = {[this](const Failure &failure) { showFailureBox(this, failure); },
                  [this](const QString &text) { showNoticeBox(this, text); }};

    connect(m_ui->cmdVerbindung, &QPushButton::clicked, this, [this] { runClick(&frmMain::cmdVerbindung_Click); });
    connect(m_ui->cmdSenden, &QPushButton::clicked, this, [this] { runClick(&frmMain::cmdSenden_Click); });
    connect(m_ui->chkDTR, &QCheckBox::clicked, this, [this] { runClick(&frmMain::chkDTR_Click); });
    connect(m_ui->chkRTS, &QCheckBox::clicked, this, [this] { runClick(&frmMain::chkRTS_Click); });

    QComboBox *port = m_ui->cmbComPort;
    // Qt on Linux names a combo box by its text; a screen reader finds the
    // name on the field inside it.
    port->lineEdit()->setAccessibleName(port->accessibleName());
    connect(port->lineEdit(), &QLineEdit::textEdited, this, [this] {
        m_portTyped = true;
        updatePortToolTip();
    });
    connect(port, &QComboBox::activated, this, [this] {
        m_portTyped = false;
        updatePortToolTip();
    });
    connect(port, &QComboBox::currentIndexChanged, this, &frmMain::updatePortToolTip);

    // The tooltip is also what a screen reader reads; encoding megabytes on
    // every key would slow typing, so it follows once the user pauses.
    m_previewTimer.setSingleShot(true);
    m_previewTimer.setInterval(kPreviewPause);
    connect(&m_previewTimer, &QTimer::timeout, this,
            [this] { m_ui->txtDaten->setToolTip(sendPreview(m_ui->txtDaten->text())); });
    connect(m_ui->txtDaten, &QLineEdit::textChanged, &m_previewTimer, qOverload<>(&QTimer::start));
    m_ui->txtDaten->setToolTip(sendPreview(m_ui->txtDaten->text()));

    connect(m_RS232.get(), &CommControl::deviceLost, this,
            [this](const Failure &failure) {
                m_lossReported = true;
                m_messages.failure(failure);
            });
    connect(m_RS232.get(), &CommControl::bytesDiscarded, this, [this](qint64 count) {
        // After a loss the user has been told already, with the count.
        if (std::exchange(m_lossReported, false))
            return;
        m_messages.notice(count == 1 ? tr("Beim Trennen wurde 1 Byte nicht mehr gesendet und verworfen.")
                                     : tr("Beim Trennen wurden %1 Bytes nicht mehr gesendet und verworfen.")
                                           .arg(count));
    });
}

frmMain::~frmMain() = default;

QString frmMain::portText(int number)
{
    return QStringLiteral("COM ") + QString::number(number);
}

// Screen readers read the tooltip as the box's description: it answers
// "which device is this?" and "why is my adapter not listed?".
void frmMain::updatePortToolTip()
{
    QStringList lines = m_skippedPorts;
    const QString port = m_ui->cmbComPort->itemData(selectedPortEntry(), Qt::ToolTipRole).toString();
    if (!port.isEmpty())
        lines.prepend(port);
    m_ui->cmbComPort->setToolTip(lines.join(u'\n'));
}

// No handler traps its failures; what escapes goes to the user, and the
// window stays as the handler left it.
void frmMain::runClick(Status (frmMain::*handler)())
{
    if (const Status status = (this->*handler)(); !status.ok())
        m_messages.failure(status.failure());
}

// A typed text picks the entry it names, matched as the box itself matches
// on Return; any other text picks none.
int frmMain::selectedPortEntry() const
{
    const QComboBox &port = *m_ui->cmbComPort;
    if (!m_portTyped)
        return port.currentIndex();
    Qt::MatchFlags flags = Qt::MatchFixedString;
    if (!port.completer() || port.completer()->caseSensitivity() == Qt::CaseSensitive)
        flags |= Qt::MatchCaseSensitive;
    return port.findText(port.currentText(), flags);
}

void frmMain::setConnectedControls(bool connected)
{
    m_ui->cmdSenden->setEnabled(connected);
    m_ui->chkRTS->setEnabled(connected);
    m_ui->chkDTR->setEnabled(connected);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    // Queued bytes get the same bounded drain as at a disconnect.
    if (const auto open = m_RS232->PortOpen(); open.ok() && open.value())
        (void)m_RS232->setPortOpen(false);
    event->accept();
}

} // namespace kestavo
