#pragma once

#include "comm_control.h"
#include "failure.h"

#include <QTimer>
#include <QWidget>

#include <array>
#include <chrono>
#include <functional>
#include <memory>

class QCheckBox;

namespace Ui {
class frmMain;
}

namespace kestavo {

// What the user is told. The window decides the wording; these decide how it
// reaches the screen, so tests can read it instead of clicking boxes away.
struct UserMessages {
    std::function<void(const Failure &)> failure;
    std::function<void(const QString &)> notice;
};

class frmMain : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kPortSlots = 10;
    // Long enough to stay out of the way while typing, short enough that the
    // preview is there when the user looks.
    static constexpr std::chrono::milliseconds kPreviewPause{300};

    explicit frmMain(std::unique_ptr<CommControl> rs232, QWidget *parent = nullptr);
    ~frmMain() override;

    void setUserMessages(UserMessages messages) { m_messages = std::move(messages); }

    // Runs once before the window is first shown.
    void Form_Load();

    Status cmdVerbindung_Click();
    Status cmdSenden_Click();
    Status chkDTR_Click();
    Status chkRTS_Click();

    // Slot s (1 to 10) of the table of ports found at start-up.
    quint8 ComPorts(int slot) const { return m_ComPorts.at(static_cast<std::size_t>(slot - 1)); }

    CommControl &RS232() { return *m_RS232; }
    Ui::frmMain &ui() { return *m_ui; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void runClick(Status (frmMain::*handler)());
    int selectedPortEntry() const;
    void setConnectedControls(bool connected);
    Status followBox(const QCheckBox &box, Status (CommControl::*setLevel)(bool));
    static QString portText(int number);
    void updatePortToolTip();

    std::unique_ptr<Ui::frmMain> m_ui;
    std::unique_ptr<CommControl> m_RS232;
    std::array<quint8, kPortSlots> m_ComPorts{};
    UserMessages m_messages;
    bool m_lossReported = false;
    // Mapped devices that discovery could not open, and why.
    QStringList m_skippedPorts;
    bool m_portTyped = false; // the port field holds what the user typed, not a picked entry
    QTimer m_previewTimer;
};

} // namespace kestavo
