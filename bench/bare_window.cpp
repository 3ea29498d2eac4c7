// The baseline for start-up and memory: a Qt 6 window with the same seven
// controls at the same places, doing no serial work at all.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare Qt window"));
    window.setFont(QFont(QStringLiteral("DejaVu Sans"), 7));
    window.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint);

    auto *combo = new QComboBox(&window);
    combo->setGeometry(24, 24, 89, 21);
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    auto *connect = new QPushButton(QStringLiteral("Verbinden"), &window);
    connect->setGeometry(136, 20, 73, 29);
    auto *text = new QLineEdit(QStringLiteral("A"), &window);
    text->setGeometry(24, 72, 261, 19);
    auto *send = new QPushButton(QStringLiteral("Senden (TxD)"), &window);
    send->setGeometry(196, 104, 89, 29);
    send->setEnabled(false);
    auto *rts = new QCheckBox(QStringLiteral("RTS High setzen"), &window);
    rts->setGeometry(24, 104, 113, 21);
    rts->setEnabled(false);
    auto *dtr = new QCheckBox(QStringLiteral("DTR High setzen"), &window);
    dtr->setGeometry(24, 132, 113, 21);
    dtr->setEnabled(false);
    auto *label = new QLabel(QStringLiteral("Serielle Leitung von Hand prüfen: TxD, DTR, RTS"), &window);
    label->setGeometry(20, 184, 277, 13);
    label->setAlignment(Qt::AlignCenter);
    label->setEnabled(false);

    window.setFixedSize(312, 206);
    window.show();
    return app.exec();
}
