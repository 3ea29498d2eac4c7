// Opens the device given as COM 1 through the component and prints the code
// and text of the outcome. The edge drill runs it as another user.
#include "comm_control.h"
#include "port_map.h"
#include "qt_serial_line.h"

#include <QCoreApplication>
#include <QTextStream>

using namespace kestavo;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        QTextStream(stderr) << "usage: drill_open_port DEVICE\n";
        return 2;
    }
    const QString device = arguments.at(1);
    CommControl comm(PortMap(std::map<int, PortEntry>{{1, PortEntry{device, device}}}),
                     std::make_unique<QtSerialLine>());
    QTextStream out(stdout);
    const Status opened = comm.setPortOpen(true);
    if (opened.ok()) {
        out << "0\n";
        (void)comm.setPortOpen(false);
        return 0;
    }
    out << opened.failure().code << '\n' << opened.failure().text << '\n';
    return 1;
}
