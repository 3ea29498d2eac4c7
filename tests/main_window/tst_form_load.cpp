#include "window_fixture.h"

#include <QtTest>

using namespace kestavo;
using namespace kestavo::testing;

class tst_FormLoad : public QObject
{
    Q_OBJECT

private slots:
    void discovery_data();
    void discovery();
    void portLeftOpenShowsItsNumber();
    void refusedStateReadCountsAsUsable();
    void tooltipNamesTheDeviceAndWhyOthersAreMissing_data();
    void tooltipNamesTheDeviceAndWhyOthersAreMissing();
};

using Ports = QList<int>;

void tst_FormLoad::discovery_data()
{
    QTest::addColumn<Ports>("present");
    QTest::addColumn<Ports>("busy");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<Ports>("table");

    QTest::newRow("ports 1 and 3") << Ports{1, 3} << Ports{} << QStringList{"COM 1", "COM 3"} << Ports{1, 3};
    QTest::newRow("no port") << Ports{} << Ports{} << QStringList{} << Ports{};
    QStringList all;
    Ports allPorts;
    for (int n = 1; n <= 10; ++n) {
        all << QStringLiteral("COM %1").arg(n);
        allPorts << n;
    }
    QTest::newRow("all ten ports") << allPorts << Ports{} << all << allPorts;
    QTest::newRow("port 2 held by another program")
        << Ports{1, 2, 3} << Ports{2} << QStringList{"COM 1", "COM 3"} << Ports{1, 3};
    QTest::newRow("only port 10") << Ports{10} << Ports{} << QStringList{"COM 10"} << Ports{10};
    QTest::newRow("the only port held") << Ports{4} << Ports{4} << QStringList{} << Ports{};
}

void tst_FormLoad::discovery()
{
    QFETCH(Ports, present);
    QFETCH(Ports, busy);
    QFETCH(QStringList, entries);
    QFETCH(Ports, table);

    WindowFixture f(present);
    for (int n : busy)
        f.line().busyDevices << ScriptedComm::devicePath(n);
    f.window->Form_Load();

    QStringList listed;
    for (int i = 0; i < f.ui().cmbComPort->count(); ++i)
        listed << f.ui().cmbComPort->itemText(i);
    QCOMPARE(listed, entries);
    for (int slot = 1; slot <= frmMain::kPortSlots; ++slot)
        QCOMPARE(int(f.window->ComPorts(slot)), slot <= table.size() ? table[slot - 1] : 0);

    const bool found = !entries.isEmpty();
    QCOMPARE(f.ui().cmbComPort->currentIndex(), found ? 0 : -1);
    QCOMPARE(f.ui().cmbComPort->currentText(), found ? entries.first() : QString());
    QCOMPARE(f.ui().cmdVerbindung->isEnabled(), found);
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Verbinden"));
    QVERIFY(!f.ui().cmdSenden->isEnabled());
    QVERIFY(!f.ui().chkRTS->isEnabled());
    QVERIFY(!f.ui().chkDTR->isEnabled());
    // Every port that opened was closed again, and discovery told the user nothing.
    QVERIFY(!f.line().isOpen());
    QCOMPARE(f.line().closeCount, int(table.size()));
    QVERIFY(f.failures.isEmpty());
    QVERIFY(f.notices.isEmpty());
}

// Selecting 2 fails while port 1 is closed: the open then succeeds on port 1,
// which is not accepted and stays open; every later pass fails on it.
void tst_FormLoad::portLeftOpenShowsItsNumber()
{
    WindowFixture f({1, 2, 3});
    f.comm->refuseCommPortWrite = {2};
    f.window->Form_Load();

    QCOMPARE(f.ui().cmbComPort->count(), 1);
    QCOMPARE(f.ui().cmbComPort->itemText(0), QStringLiteral("COM 1"));
    QCOMPARE(int(f.window->ComPorts(1)), 1);
    QCOMPARE(int(f.window->ComPorts(2)), 0);
    QVERIFY(f.line().isOpen());
    QCOMPARE(f.line().device(), ScriptedComm::devicePath(1));
    QCOMPARE(f.ui().cmbComPort->currentIndex(), -1);
    QCOMPARE(f.ui().cmbComPort->currentText(), QStringLiteral("COM 1"));
    QVERIFY(f.ui().cmdVerbindung->isEnabled());
    QVERIFY(f.failures.isEmpty());
}

void tst_FormLoad::refusedStateReadCountsAsUsable()
{
    WindowFixture f;
    f.comm->refusePortOpenRead = true;
    f.window->Form_Load();

    // Every open failed, yet each pass took its port, as the decision failed.
    QCOMPARE(f.ui().cmbComPort->count(), 10);
    QCOMPARE(int(f.window->ComPorts(10)), 10);
    QCOMPARE(f.ui().cmbComPort->currentIndex(), 0);
    QVERIFY(f.failures.isEmpty());
}

void tst_FormLoad::tooltipNamesTheDeviceAndWhyOthersAreMissing_data()
{
    QTest::addColumn<Ports>("busy");
    QTest::addColumn<QStringList>("tooltip");

    const auto skipped = [](int n) {
        const QString device = ScriptedComm::devicePath(n);
        return QStringLiteral("Nicht nutzbar: %1 – fake: %1 busy").arg(device);
    };
    QTest::newRow("COM 2 selected, COM 1 and COM 3 held")
        << Ports{1, 3} << QStringList{ScriptedComm::fakePorts().find(2)->description, skipped(1), skipped(3)};
    QTest::newRow("every port held: only why") << Ports{1, 2, 3} << QStringList{skipped(1), skipped(2), skipped(3)};
}

void tst_FormLoad::tooltipNamesTheDeviceAndWhyOthersAreMissing()
{
    QFETCH(Ports, busy);
    QFETCH(QStringList, tooltip);
    WindowFixture f({1, 2, 3});
    for (int n : busy)
        f.line().busyDevices << ScriptedComm::devicePath(n);
    f.window->Form_Load();

    // Ports 4 to 10 are mapped but absent.
    const QStringList lines = f.ui().cmbComPort->toolTip().split(u'\n');
    QCOMPARE(lines.mid(0, tooltip.size()), tooltip);
    QCOMPARE(lines.size(), tooltip.size() + 7);
    QVERIFY2(lines.last().contains(QStringLiteral("fake: %1 not found").arg(ScriptedComm::devicePath(10))),
             qPrintable(lines.last()));
    QVERIFY(f.failures.isEmpty());
}

QTEST_MAIN(tst_FormLoad)
#include "tst_form_load.moc"
