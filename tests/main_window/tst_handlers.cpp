#include "window_fixture.h"

#include <QMessageBox>
#include <QtTest>

using namespace kestavo;
using namespace kestavo::testing;

using Ports = QList<int>;
using Change = FakeLine::LevelChange;
using Changes = QList<FakeLine::LevelChange>;

class tst_Handlers : public QObject
{
    Q_OBJECT

private slots:
    void connectUsesSlotOfEntry_data();
    void connectUsesSlotOfEntry();
    void connectRefusedBeforeTouchingThePort_data();
    void connectRefusedBeforeTouchingThePort();
    void typedPortNameDecides_data();
    void typedPortNameDecides();
    void twoClicksDisconnectAgain();
    void portLeftOpenByDiscoveryIsClosedByFirstClick();
    void failedOpenStaysDisconnected();
    void failedCloseStaysConnected();
    void sendPutsTheTextOnTheLine_data();
    void sendPutsTheTextOnTheLine();
    void linesFollowTheirBoxes_data();
    void linesFollowTheirBoxes();
    void greyedBoxChangesNothing();
    void failedLineKeepsTheTick();
    void levelsHoldAcrossReconnect();
    void deviceLostIsReportedOnce();
    void discardedBytesAreReported();
    void closingTheWindowClosesThePort();
    void failureShowsOneMessageBox();
};

void tst_Handlers::connectUsesSlotOfEntry_data()
{
    QTest::addColumn<Ports>("present");
    QTest::addColumn<int>("entry");
    QTest::addColumn<int>("port");

    QTest::newRow("ports 1 3, second entry") << Ports{1, 3} << 1 << 3;
    QTest::newRow("ports 1 3, first entry") << Ports{1, 3} << 0 << 1;
    QTest::newRow("ports 2 5 9, third entry") << Ports{2, 5, 9} << 2 << 9;
    QTest::newRow("port 10 alone") << Ports{10} << 0 << 10;
}

void tst_Handlers::connectUsesSlotOfEntry()
{
    QFETCH(Ports, present);
    QFETCH(int, entry);
    QFETCH(int, port);

    WindowFixture f(present);
    f.loadAndConnect(entry);

    QVERIFY(f.failures.isEmpty());
    QCOMPARE(f.line().device(), ScriptedComm::devicePath(port));
    QVERIFY(f.line().isOpen());
    QCOMPARE(f.RS232CommPort(), port);
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Trennen"));
    QVERIFY(f.ui().cmdSenden->isEnabled());
    QVERIFY(f.ui().chkRTS->isEnabled());
    QVERIFY(f.ui().chkDTR->isEnabled());
}

void tst_Handlers::connectRefusedBeforeTouchingThePort_data()
{
    QTest::addColumn<int>("entryCount");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("code");

    QTest::newRow("no entry selected") << 0 << -1 << int(FailureCode::SubscriptOutOfRange);
    QTest::newRow("entry 10, beyond the table") << 11 << 10 << int(FailureCode::SubscriptOutOfRange);
    QTest::newRow("entry 32767, slot overflows") << 32768 << 32767 << int(FailureCode::Overflow);
}

void tst_Handlers::connectRefusedBeforeTouchingThePort()
{
    QFETCH(int, entryCount);
    QFETCH(int, index);
    QFETCH(int, code);

    WindowFixture f({1});
    f.window->Form_Load();
    const int opensAfterLoad = f.line().openedDevices.size();
    QStringList extra;
    for (int i = f.ui().cmbComPort->count(); i < entryCount; ++i)
        extra << QStringLiteral("X%1").arg(i);
    f.ui().cmbComPort->addItems(extra);
    f.ui().cmbComPort->setCurrentIndex(index);
    f.ui().cmdVerbindung->click();

    QCOMPARE(f.failures.size(), 1);
    QCOMPARE(f.failures.first().code, code);
    QVERIFY(!f.failures.first().text.isEmpty());
    QCOMPARE(f.line().openedDevices.size(), opensAfterLoad);
    QCOMPARE(f.RS232CommPort(), 10); // untouched since discovery's last pass
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Verbinden"));
    QVERIFY(!f.ui().cmdSenden->isEnabled());
}

// Return in the field and the other ways of clicking are driven through the
// real executable.
void tst_Handlers::typedPortNameDecides_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("port"); // 0: refused as no selection

    QTest::newRow("listed name in lower case") << "com 3" << 3;
    QTest::newRow("unlisted name") << "COM 7" << 0;
    QTest::newRow("listed name with a blank too many") << "COM 1 " << 0;
}

void tst_Handlers::typedPortNameDecides()
{
    QFETCH(QString, typed);
    QFETCH(int, port);

    WindowFixture f({1, 3});
    f.window->Form_Load();
    f.ui().cmbComPort->lineEdit()->selectAll();
    QTest::keyClicks(f.ui().cmbComPort->lineEdit(), typed);
    f.ui().cmdVerbindung->click();

    QCOMPARE(f.failures.size(), port ? 0 : 1);
    QCOMPARE(f.line().isOpen() ? f.line().device() : QString(), port ? ScriptedComm::devicePath(port) : QString());
}

void tst_Handlers::twoClicksDisconnectAgain()
{
    WindowFixture f({1, 3});
    f.loadAndConnect(0);
    f.ui().cmdVerbindung->click();

    QVERIFY(f.failures.isEmpty());
    QVERIFY(!f.line().isOpen());
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Verbinden"));
    QVERIFY(f.ui().cmdVerbindung->isEnabled());
    QVERIFY(!f.ui().cmdSenden->isEnabled());
    QVERIFY(!f.ui().chkRTS->isEnabled());
    QVERIFY(!f.ui().chkDTR->isEnabled());
}

void tst_Handlers::portLeftOpenByDiscoveryIsClosedByFirstClick()
{
    WindowFixture f({1, 2});
    f.comm->refuseCommPortWrite = {2};
    f.window->Form_Load();
    QVERIFY(f.line().isOpen());
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Verbinden"));

    f.ui().cmdVerbindung->click();
    QVERIFY(f.failures.isEmpty());
    QVERIFY(!f.line().isOpen());
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Verbinden"));
    QVERIFY(!f.ui().cmdSenden->isEnabled());
}

void tst_Handlers::failedOpenStaysDisconnected()
{
    WindowFixture f({1, 3});
    f.window->Form_Load();
    f.line().busyDevices << ScriptedComm::devicePath(3); // taken since start-up
    f.ui().cmbComPort->setCurrentIndex(1);
    f.ui().cmdVerbindung->click();

    QCOMPARE(f.failures.size(), 1);
    QCOMPARE(f.failures.first().code, int(FailureCode::DeviceBusy));
    QVERIFY(!f.line().isOpen());
    QCOMPARE(f.RS232CommPort(), 3);
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Verbinden"));
    QVERIFY(!f.ui().cmdSenden->isEnabled());
    QVERIFY(!f.ui().chkDTR->isEnabled());
}

void tst_Handlers::failedCloseStaysConnected()
{
    WindowFixture f({1});
    f.loadAndConnect(0);
    f.line().failNext(FakeLine::Op::Close, scriptedFailure("close"));
    f.ui().cmdVerbindung->click();

    QCOMPARE(f.failures.size(), 1);
    QCOMPARE(f.failures.first(), scriptedFailure("close"));
    QVERIFY(f.line().isOpen());
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Trennen"));
    QVERIFY(f.ui().cmdSenden->isEnabled());
    QVERIFY(f.ui().chkRTS->isEnabled());
}

void tst_Handlers::sendPutsTheTextOnTheLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("A once") << QStringLiteral("A") << 1 << QByteArray("A");
    QTest::newRow("A twice") << QStringLiteral("A") << 2 << QByteArray("AA");
    QTest::newRow("empty") << QString() << 1 << QByteArray();
    QTest::newRow("Grüße €") << QStringLiteral("Grüße €") << 1 << QByteArray::fromHex("4772fcdf652080");
    QTest::newRow("AT with trailing blanks") << QStringLiteral("AT  ") << 1 << QByteArray("AT  ");
}

void tst_Handlers::sendPutsTheTextOnTheLine()
{
    QFETCH(QString, text);
    QFETCH(int, clicks);
    QFETCH(QByteArray, bytes);

    WindowFixture f({1});
    f.loadAndConnect(0);
    f.ui().txtDaten->setText(text);
    for (int i = 0; i < clicks; ++i)
        f.ui().cmdSenden->click();

    QVERIFY(f.failures.isEmpty());
    QCOMPARE(f.line().sent, bytes);
    QCOMPARE(f.ui().txtDaten->text(), text);
}

void tst_Handlers::linesFollowTheirBoxes_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<bool>("dtr");
    QTest::addColumn<bool>("rts");

    QTest::newRow("DTR ticked") << QStringList{"DTR"} << true << false;
    QTest::newRow("RTS ticked") << QStringList{"RTS"} << false << true;
    QTest::newRow("DTR ticked and unticked") << QStringList{"DTR", "DTR"} << false << false;
    QTest::newRow("both ticked, RTS unticked") << QStringList{"DTR", "RTS", "RTS"} << true << false;
}

void tst_Handlers::linesFollowTheirBoxes()
{
    QFETCH(QStringList, clicks);
    QFETCH(bool, dtr);
    QFETCH(bool, rts);

    WindowFixture f({1});
    f.loadAndConnect(0);
    for (const QString &box : clicks)
        (box == QLatin1String("DTR") ? f.ui().chkDTR : f.ui().chkRTS)->click();

    QVERIFY(f.failures.isEmpty());
    QCOMPARE(f.line().dtr(), dtr);
    QCOMPARE(f.line().rts(), rts);
    QCOMPARE(f.ui().chkDTR->isChecked(), dtr);
    QCOMPARE(f.ui().chkRTS->isChecked(), rts);
}

void tst_Handlers::greyedBoxChangesNothing()
{
    WindowFixture f({1});
    f.loadAndConnect(0);
    const Changes before = f.line().levelChanges;
    f.ui().chkDTR->setCheckState(Qt::PartiallyChecked);
    f.ui().chkRTS->setCheckState(Qt::PartiallyChecked);
    QVERIFY(f.window->chkDTR_Click().ok());
    QVERIFY(f.window->chkRTS_Click().ok());
    QCOMPARE(f.line().levelChanges, before);
}

void tst_Handlers::failedLineKeepsTheTick()
{
    WindowFixture f({1});
    f.loadAndConnect(0);
    f.line().modemLinesSupported = false;
    f.ui().chkRTS->click();

    QCOMPARE(f.failures.size(), 1);
    QCOMPARE(f.failures.first().code, int(FailureCode::ModemLinesUnsupported));
    QVERIFY(f.ui().chkRTS->isChecked());
}

void tst_Handlers::levelsHoldAcrossReconnect()
{
    WindowFixture f({1});
    f.loadAndConnect(0);
    f.ui().chkDTR->click();
    f.ui().cmdVerbindung->click();
    f.line().levelChanges.clear();
    f.ui().cmdVerbindung->click();

    QVERIFY(f.failures.isEmpty());
    QVERIFY(f.ui().chkDTR->isChecked());
    QVERIFY(!f.ui().chkRTS->isChecked());
    QCOMPARE(f.line().levelChanges, (Changes{Change{true, true, true}, Change{false, false, true}}));
}

void tst_Handlers::deviceLostIsReportedOnce()
{
    WindowFixture f({1});
    f.loadAndConnect(0);
    f.line().vanish(1000);
    QVERIFY(f.failures.isEmpty()); // reported from the event loop, not inside the line's signal
    QCoreApplication::processEvents();

    QCOMPARE(f.failures.size(), 1);
    QCOMPARE(f.failures.first().code, int(FailureCode::DeviceGone));
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Trennen"));

    f.line().deliverAtOnce = false;
    f.line().queued = "lost";
    f.ui().cmdVerbindung->click();
    QCOMPARE(f.failures.size(), 1);
    QVERIFY(f.notices.isEmpty()); // the loss was the message; no second one for its bytes
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Verbinden"));
}

void tst_Handlers::discardedBytesAreReported()
{
    WindowFixture f({1});
    f.loadAndConnect(0);
    f.line().deliverAtOnce = false;
    f.ui().txtDaten->setText(QStringLiteral("Hallo"));
    f.ui().cmdSenden->click();
    f.line().deliver(2);
    f.ui().cmdVerbindung->click();

    QCOMPARE(f.line().sent, QByteArray("Ha"));
    QCOMPARE(f.notices, QStringList{QStringLiteral("Beim Trennen wurden 3 Bytes nicht mehr gesendet und verworfen.")});
    QVERIFY(f.failures.isEmpty());
}

void tst_Handlers::closingTheWindowClosesThePort()
{
    WindowFixture f({1});
    f.loadAndConnect(0);
    f.window->show();
    QVERIFY(f.window->close());
    QVERIFY(!f.line().isOpen());
    QCOMPARE(f.line().closeCount, 2); // discovery's, then the window's
}

void tst_Handlers::failureShowsOneMessageBox()
{
    auto scripted = ScriptedComm::create();
    scripted->line().presentDevices << ScriptedComm::devicePath(1);
    frmMain window(std::move(scripted));
    window.Form_Load();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(window.findChildren<QMessageBox *>().isEmpty());

    window.ui().cmbComPort->setCurrentIndex(-1);
    window.ui().cmdVerbindung->click();

    const auto boxes = window.findChildren<QMessageBox *>();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first()->windowTitle(), QStringLiteral("Kestavo für zor by MERIDAX"));
    QVERIFY(boxes.first()->text().startsWith(QStringLiteral("Fehler 9: ")));
    QVERIFY(boxes.first()->isVisible());
    boxes.first()->close();
}

QTEST_MAIN(tst_Handlers)
#include "tst_handlers.moc"
