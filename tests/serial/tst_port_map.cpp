#include "comm_control.h"
#include "port_map.h"
#include "pseudo_terminal.h"
#include "qt_serial_line.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using kestavo::PortMap;

namespace {

const QString kDev = QStringLiteral("/dev");
const QString kUsbBus = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1");
const QString kConsoleActive = QStringLiteral("class/tty/console/active");
const QString kMachineConsole = QStringLiteral("ttyS1 tty0");

// In detection order: ttyS by number, ttyUSB, ttyACM, then the rest.
const QStringList kDetected = {
    QStringLiteral("/dev/ttyS0"),   QStringLiteral("/dev/ttyS2"),   QStringLiteral("/dev/ttyS10"),
    QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyUSB1"), QStringLiteral("/dev/ttyACM0"),
    QStringLiteral("/dev/ttyAMA0"), QStringLiteral("/dev/ttySAC0"),
};

QStringList devicesOf(const PortMap &map)
{
    QStringList devices;
    for (const auto &[number, entry] : map.entries())
        devices << entry.device;
    return devices;
}

QStringList numberedDevicesOf(const PortMap &map)
{
    QStringList devices;
    for (const auto &[number, entry] : map.entries())
        devices << QStringLiteral("%1=%2").arg(number).arg(entry.device);
    return devices;
}

QStringList numbered(const QStringList &devices)
{
    QStringList result;
    for (qsizetype i = 0; i < devices.size(); ++i)
        result << QStringLiteral("%1=%2").arg(i + 1).arg(devices[i]);
    return result;
}

} // namespace

// A sysfs tree laid out like the kernel's: class/tty/<name> links to the tty's
// own directory under devices/, whose `device` link points at the parent device.
class FakeSysfs
{
public:
    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }

    bool write(const QString &relative, const QString &content)
    {
        const QString path = m_dir.filePath(relative);
        QFile file(path);
        return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(content.toUtf8() + '\n') > 0;
    }

    // parent empty: a virtual tty without a parent device (pty, virtual console).
    bool addTty(const QString &name, const QString &parent, const QString &type = {})
    {
        const QString ttyDir = parent.isEmpty() ? QStringLiteral("devices/virtual/tty/") + name
                                                : parent + QStringLiteral("/tty/") + name;
        if (!QDir(root()).mkpath(ttyDir) || !QDir(root()).mkpath(QStringLiteral("class/tty")))
            return false;
        if (!link(QStringLiteral("../../") + ttyDir, QStringLiteral("class/tty/") + name))
            return false;
        if (!type.isEmpty() && !write(ttyDir + QStringLiteral("/type"), type))
            return false;
        if (parent.isEmpty())
            return true;
        return link(QDir(m_dir.filePath(ttyDir)).relativeFilePath(m_dir.filePath(parent)),
                    ttyDir + QStringLiteral("/device"));
    }

private:
    bool link(const QString &target, const QString &relativeLink)
    {
        return symlink(QFile::encodeName(target).constData(),
                       QFile::encodeName(m_dir.filePath(relativeLink)).constData())
            == 0;
    }

    QTemporaryDir m_dir;
};

class TestPortMap : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void sysfsOrderAndSkips();
    void activeConsoleExcluded_data();
    void activeConsoleExcluded();
    void descriptions_data();
    void descriptions();
    void overrides_data();
    void overrides();
    void replugFollowsTheAdapter();

private:
    FakeSysfs m_sysfs;
};

void TestPortMap::initTestCase()
{
    QVERIFY(m_sysfs.isValid());
    const QString uart = QStringLiteral("devices/platform/serial8250");
    QVERIFY(m_sysfs.addTty(QStringLiteral("ttyS0"), uart, QStringLiteral("4")));
    QVERIFY(m_sysfs.addTty(QStringLiteral("ttyS1"), uart, QStringLiteral("4")));
    QVERIFY(m_sysfs.addTty(QStringLiteral("ttyS2"), uart, QStringLiteral("4")));
    QVERIFY(m_sysfs.addTty(QStringLiteral("ttyS3"), uart, QStringLiteral("0")));
    QVERIFY(m_sysfs.addTty(QStringLiteral("ttyS10"), uart, QStringLiteral("4")));

    // The root hub has strings of its own; the nearest device's win.
    QVERIFY(m_sysfs.write(kUsbBus + QStringLiteral("/product"), QStringLiteral("xHCI Host Controller")));
    QVERIFY(m_sysfs.write(kUsbBus + QStringLiteral("/manufacturer"), QStringLiteral("Linux xhci-hcd")));
    QVERIFY(m_sysfs.write(kUsbBus + QStringLiteral("/1-1/product"), QStringLiteral("FT232R USB UART")));
    QVERIFY(m_sysfs.write(kUsbBus + QStringLiteral("/1-1/manufacturer"), QStringLiteral("FTDI")));
    QVERIFY(m_sysfs.write(kUsbBus + QStringLiteral("/1-1/serial"), QStringLiteral("A50285BI")));
    QVERIFY(m_sysfs.addTty(QStringLiteral("ttyUSB0"), kUsbBus + QStringLiteral("/1-1/1-1:1.0/ttyUSB0")));
    QVERIFY(m_sysfs.write(kUsbBus + QStringLiteral("/1-3/product"), QStringLiteral("USB Serial")));
    QVERIFY(m_sysfs.addTty(QStringLiteral("ttyUSB1"), kUsbBus + QStringLiteral("/1-3/1-3:1.0/ttyUSB1")));
    QVERIFY(m_sysfs.write(kUsbBus + QStringLiteral("/1-2/product"), QStringLiteral("Pico")));
    QVERIFY(m_sysfs.write(kUsbBus + QStringLiteral("/1-2/manufacturer"), QStringLiteral("Raspberry Pi")));
    QVERIFY(m_sysfs.write(kUsbBus + QStringLiteral("/1-2/serial"), QStringLiteral("E6614C311B4B8A30")));
    QVERIFY(m_sysfs.addTty(QStringLiteral("ttyACM0"), kUsbBus + QStringLiteral("/1-2/1-2:1.0")));

    // Sorted by name alone these would land among the UARTs and USB ports.
    QVERIFY(m_sysfs.addTty(QStringLiteral("ttySAC0"), QStringLiteral("devices/platform/13800000.serial"),
                           QStringLiteral("18")));
    QVERIFY(m_sysfs.addTty(QStringLiteral("ttyAMA0"), QStringLiteral("devices/platform/fe201000.serial"),
                           QStringLiteral("32")));

    for (const char *name : {"tty", "tty0", "tty1", "console", "ptmx"})
        QVERIFY(m_sysfs.addTty(QString::fromLatin1(name), {}));
    QVERIFY(m_sysfs.write(kConsoleActive, kMachineConsole));
}

void TestPortMap::cleanup()
{
    QVERIFY(m_sysfs.write(kConsoleActive, kMachineConsole));
}

void TestPortMap::sysfsOrderAndSkips()
{
    const PortMap map = PortMap::fromSysfs(m_sysfs.root(), kDev);

    QCOMPARE(numberedDevicesOf(map), numbered(kDetected));
}

void TestPortMap::activeConsoleExcluded_data()
{
    QTest::addColumn<QString>("active");
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<QStringList>("present");

    QTest::newRow("ttyS1 tty0") << QStringLiteral("ttyS1 tty0") << QStringList{QStringLiteral("/dev/ttyS1")}
                                << QStringList{QStringLiteral("/dev/ttyS0")};
    QTest::newRow("ttyS0") << QStringLiteral("ttyS0") << QStringList{QStringLiteral("/dev/ttyS0")}
                           << QStringList{QStringLiteral("/dev/ttyS1")};
    QTest::newRow("ttyUSB0 ttyS2") << QStringLiteral("ttyUSB0 ttyS2")
                                   << QStringList{QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyS2")}
                                   << QStringList{QStringLiteral("/dev/ttyS1")};
    QTest::newRow("tty0") << QStringLiteral("tty0") << QStringList{}
                          << QStringList{QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyS1")};
}

void TestPortMap::activeConsoleExcluded()
{
    QFETCH(QString, active);
    QFETCH(QStringList, absent);
    QFETCH(QStringList, present);
    QVERIFY(m_sysfs.write(kConsoleActive, active));

    const QStringList devices = devicesOf(PortMap::fromSysfs(m_sysfs.root(), kDev));

    for (const QString &device : absent)
        QVERIFY2(!devices.contains(device), qPrintable(devices.join(u' ')));
    for (const QString &device : present)
        QVERIFY2(devices.contains(device), qPrintable(devices.join(u' ')));
}

void TestPortMap::descriptions_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("description");

    QTest::newRow("ttyUSB0: strings two levels up")
        << QStringLiteral("/dev/ttyUSB0") << QStringLiteral("/dev/ttyUSB0 – FT232R USB UART, FTDI, A50285BI");
    QTest::newRow("ttyUSB1: product only") << QStringLiteral("/dev/ttyUSB1")
                                           << QStringLiteral("/dev/ttyUSB1 – USB Serial");
    QTest::newRow("ttyACM0: strings one level up")
        << QStringLiteral("/dev/ttyACM0") << QStringLiteral("/dev/ttyACM0 – Pico, Raspberry Pi, E6614C311B4B8A30");
    QTest::newRow("ttyS0: no strings") << QStringLiteral("/dev/ttyS0") << QStringLiteral("/dev/ttyS0");
}

void TestPortMap::descriptions()
{
    QFETCH(QString, device);
    QFETCH(QString, description);

    const PortMap map = PortMap::fromSysfs(m_sysfs.root(), kDev);

    const auto entry = std::find_if(map.entries().begin(), map.entries().end(),
                                    [&](const auto &item) { return item.second.device == device; });
    QVERIFY(entry != map.entries().end());
    QCOMPARE(entry->second.description, description);
}

void TestPortMap::overrides_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QStringList>("expected");

    const QStringList unrelated = {QStringLiteral("PATH=/usr/bin"), QStringLiteral("KESTAVO=1")};
    QTest::newRow("KESTAVO_COM1 and KESTAVO_COM3")
        << unrelated + QStringList{QStringLiteral("KESTAVO_COM3=/dev/pts/9"), QStringLiteral("KESTAVO_COM1=/dev/pts/4")}
        << QStringList{QStringLiteral("1=/dev/pts/4"), QStringLiteral("3=/dev/pts/9")};
    QTest::newRow("KESTAVO_COM10") << QStringList{QStringLiteral("KESTAVO_COM10=/tmp/line")}
                                   << QStringList{QStringLiteral("10=/tmp/line")};
    QTest::newRow("none") << unrelated << numbered(kDetected);
    QTest::newRow("KESTAVO_COM0 and KESTAVO_COM11")
        << QStringList{QStringLiteral("KESTAVO_COM0=/tmp/a"), QStringLiteral("KESTAVO_COM11=/tmp/b")}
        << numbered(kDetected);
}

void TestPortMap::overrides()
{
    QFETCH(QStringList, environment);
    QFETCH(QStringList, expected);
    QProcessEnvironment env;
    for (const QString &variable : environment)
        env.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));

    const PortMap map = PortMap::fromSystem(env, m_sysfs.root(), kDev);

    QCOMPARE(numberedDevicesOf(map), expected);
}

// The adapter is pulled while connected and comes back in the same socket
// under another name: disconnecting, connecting and sending reach it there.
void TestPortMap::replugFollowsTheAdapter()
{
    FakeSysfs sysfs;
    QTemporaryDir dev;
    kestavo::testing::PseudoTerminal first;
    kestavo::testing::PseudoTerminal second;
    QVERIFY(sysfs.isValid() && dev.isValid() && first.isValid() && second.isValid());
    const QString socket = kUsbBus + QStringLiteral("/1-4");
    QVERIFY(sysfs.write(socket + QStringLiteral("/serial"), QStringLiteral("A50285BI")));
    const auto plug = [&](const QString &name, const kestavo::testing::PseudoTerminal &pty) {
        return sysfs.addTty(name, socket + QStringLiteral("/1-4:1.0/") + name)
            && QFile::link(pty.slavePath(), dev.filePath(name));
    };
    QVERIFY(plug(QStringLiteral("ttyUSB0"), first));
    kestavo::CommControl comm(PortMap::fromSysfs(sysfs.root(), dev.path()), std::make_unique<kestavo::QtSerialLine>());
    QVERIFY(comm.setPortOpen(true).ok());
    QVERIFY(comm.setOutput(QStringLiteral("a")).ok());
    QByteArray received;
    QTRY_COMPARE((received += first.read()), QByteArray("a"));

    first.closeMaster();
    QVERIFY(QFile::remove(sysfs.root() + QStringLiteral("/class/tty/ttyUSB0")));
    QVERIFY(QDir(sysfs.root() + u'/' + socket + QStringLiteral("/1-4:1.0/ttyUSB0")).removeRecursively());
    QVERIFY(QFile::remove(dev.filePath(QStringLiteral("ttyUSB0"))));
    QVERIFY(plug(QStringLiteral("ttyUSB1"), second));

    QVERIFY(comm.setPortOpen(false).ok());
    const kestavo::Status reopened = comm.setPortOpen(true);
    QVERIFY2(reopened.ok(), qPrintable(reopened.ok() ? QString() : reopened.failure().text));
    QVERIFY(comm.setOutput(QStringLiteral("b")).ok());
    received.clear();
    QTRY_COMPARE((received += second.read()), QByteArray("b"));
    QCOMPARE(comm.ports().find(1)->device, dev.filePath(QStringLiteral("ttyUSB1")));
    QVERIFY(comm.setPortOpen(false).ok());
}

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_port_map.moc"
