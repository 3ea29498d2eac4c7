#include "comm_control.h"
#include "frm_main.h"
#include "port_map.h"
#include "qt_serial_line.h"

#include <QApplication>
#include <QIcon>
#include <QProcessEnvironment>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestavo"));
    QApplication::setApplicationVersion(QStringLiteral(KESTAVO_VERSION_TEXT));
    QApplication::setOrganizationName(QStringLiteral("MERIDAX"));
    QGuiApplication::setDesktopFileName(QStringLiteral("de.meridax.kestavo"));

    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/kestavo-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/kestavo-32.png"), QSize(32, 32));
    QApplication::setWindowIcon(icon);

    auto rs232 = std::make_unique<kestavo::CommControl>(
        kestavo::PortMap::fromSystem(QProcessEnvironment::systemEnvironment()),
        std::make_unique<kestavo::QtSerialLine>());
    kestavo::frmMain window(std::move(rs232));
    window.Form_Load();
    window.show();
    return app.exec();
}
