#include "comm_control.h"
#include "fake_line.h"
#include "status_parts.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace kestavo;
using kestavo::testing::codeOf;
using kestavo::testing::FakeLine;
using kestavo::testing::textOf;
using Level = FakeLine::LevelChange;

Q_DECLARE_METATYPE(QList<Level>)

namespace {

constexpr std::chrono::milliseconds kNoDrain{0};

PortMap threePorts()
{
    return PortMap({{1, {QStringLiteral("/fake/one"), {}}},
                    {2, {QStringLiteral("/fake/two"), {}}},
                    {3, {QStringLiteral("/fake/three"), {}}}});
}

Level dtr(bool high)
{
    return {true, high};
}

Level rts(bool high)
{
    return {false, high};
}

// What an open applies: both lines in one request.
QList<Level> together(QList<Level> levels)
{
    for (Level &level : levels)
        level.together = true;
    return levels;
}

} // namespace

class TestCommControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commPortBelowOneFails_data();
    void commPortBelowOneFails();
    void commPortSelectsNextOpen_data();
    void commPortSelectsNextOpen();
    void commPortFixedWhileOpen();

    void openFailureLeavesClosed_data();
    void openFailureLeavesClosed();
    void openTwiceFails();
    void closeDrainLimit_data();
    void closeDrainLimit();

    void levelsAppliedAtEveryOpen_data();
    void levelsAppliedAtEveryOpen();
    void lineWithoutModemLines();

    void outputBytes_data();
    void outputBytes();
    void outputUnencodable_data();
    void outputUnencodable();
    void outputWhileClosed();
    void outputQueueCap();

    void deviceLost();
    void discardCount_data();
    void discardCount();

private:
    bool opens();

    FakeLine *m_line = nullptr;
    std::unique_ptr<CommControl> m_comm;
};

void TestCommControl::init()
{
    auto line = std::make_unique<FakeLine>();
    m_line = line.get();
    m_line->presentDevices = {QStringLiteral("/fake/one"), QStringLiteral("/fake/two"),
                              QStringLiteral("/fake/three")};
    m_comm = std::make_unique<CommControl>(threePorts(), std::move(line));
}

void TestCommControl::cleanup()
{
    m_comm.reset();
    m_line = nullptr;
}

bool TestCommControl::opens()
{
    const Status opened = m_comm->setPortOpen(true);
    if (!opened.ok())
        qWarning("open failed: %s", qPrintable(opened.failure().text));
    return opened.ok();
}

void TestCommControl::commPortBelowOneFails_data()
{
    QTest::addColumn<qint16>("number");
    QTest::newRow("0") << qint16(0);
    QTest::newRow("-1") << qint16(-1);
    QTest::newRow("-32768") << qint16(-32768);
}

void TestCommControl::commPortBelowOneFails()
{
    QFETCH(qint16, number);
    QVERIFY(m_comm->setCommPort(2).ok());

    const Status status = m_comm->setCommPort(number);

    QCOMPARE(codeOf(status), int(FailureCode::InvalidPortNumber));
    QVERIFY2(status.failure().text.contains(QString::number(number)), qPrintable(status.failure().text));
    QCOMPARE(m_comm->CommPort().value(), qint16(2));
}

void TestCommControl::commPortSelectsNextOpen_data()
{
    QTest::addColumn<qint16>("number");
    QTest::addColumn<QString>("device");
    QTest::newRow("1") << qint16(1) << QStringLiteral("/fake/one");
    QTest::newRow("3") << qint16(3) << QStringLiteral("/fake/three");
}

void TestCommControl::commPortSelectsNextOpen()
{
    QFETCH(qint16, number);
    QFETCH(QString, device);

    QVERIFY(m_comm->setCommPort(number).ok());
    QCOMPARE(m_comm->CommPort().value(), number);
    QVERIFY(opens());

    QCOMPARE(m_line->openedDevices, QStringList{device});
    QCOMPARE(m_comm->PortOpen().value(), true);
}

void TestCommControl::commPortFixedWhileOpen()
{
    QVERIFY(m_comm->setCommPort(2).ok());
    QVERIFY(opens());

    const Status status = m_comm->setCommPort(3);

    QCOMPARE(codeOf(status), int(FailureCode::PortAlreadyOpen));
    QCOMPARE(m_comm->CommPort().value(), qint16(2));
    QVERIFY(m_comm->setPortOpen(false).ok());
    QCOMPARE(m_comm->CommPort().value(), qint16(2));
    QVERIFY(opens());
    QCOMPARE(m_line->openedDevices, (QStringList{QStringLiteral("/fake/two"), QStringLiteral("/fake/two")}));
}

void TestCommControl::openFailureLeavesClosed_data()
{
    QTest::addColumn<qint16>("number");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("code");

    QTest::newRow("unmapped") << qint16(4) << QString() << int(FailureCode::PortNotMapped);
    QTest::newRow("absent") << qint16(1) << QStringLiteral("absent") << int(FailureCode::DeviceNotFound);
    QTest::newRow("busy") << qint16(1) << QStringLiteral("busy") << int(FailureCode::DeviceBusy);
    QTest::newRow("scripted") << qint16(1) << QStringLiteral("scripted") << int(FailureCode::OpenFailed);
}

void TestCommControl::openFailureLeavesClosed()
{
    QFETCH(qint16, number);
    QFETCH(QString, script);
    QFETCH(int, code);
    if (script == QLatin1String("absent"))
        m_line->presentDevices.clear();
    else if (script == QLatin1String("busy"))
        m_line->busyDevices = {QStringLiteral("/fake/one")};
    else if (script == QLatin1String("scripted"))
        m_line->failNext(FakeLine::Op::Open, testing::scriptedFailure("open"));
    QVERIFY(m_comm->setCommPort(number).ok());

    const Status status = m_comm->setPortOpen(true);

    QCOMPARE(codeOf(status), code);
    QCOMPARE(m_comm->PortOpen().value(), false);
    QVERIFY(!m_line->isOpen());
    QVERIFY(m_line->levelChanges.isEmpty());
    QCOMPARE(codeOf(m_comm->setOutput(QStringLiteral("x"))), int(FailureCode::PortNotOpen));
}

void TestCommControl::openTwiceFails()
{
    QVERIFY(opens());

    const Status status = m_comm->setPortOpen(true);

    QCOMPARE(codeOf(status), int(FailureCode::PortAlreadyOpen));
    QVERIFY2(status.failure().text.contains(QLatin1String("COM 1")), qPrintable(status.failure().text));
    QCOMPARE(m_comm->PortOpen().value(), true);
    QCOMPARE(m_line->openedDevices.size(), 1);
    QVERIFY(m_comm->setOutput(QStringLiteral("still open")).ok());
    QCOMPARE(m_line->sent, QByteArray("still open"));
}

void TestCommControl::closeDrainLimit_data()
{
    QTest::addColumn<bool>("lost");
    QTest::addColumn<std::chrono::milliseconds>("drainLimit");
    QTest::newRow("line present") << false << CommControl::kDrainLimit;
    QTest::newRow("line lost") << true << kNoDrain;
}

void TestCommControl::closeDrainLimit()
{
    QFETCH(bool, lost);
    QFETCH(std::chrono::milliseconds, drainLimit);
    QVERIFY(m_comm->setCommPort(3).ok());
    QVERIFY(opens());
    if (lost)
        m_line->vanish();

    QVERIFY(m_comm->setPortOpen(false).ok());

    QCOMPARE(m_comm->PortOpen().value(), false);
    QCOMPARE(m_line->closeCount, 1);
    QCOMPARE(m_line->lastDrainLimit, std::optional(drainLimit));
    QCOMPARE(m_comm->CommPort().value(), qint16(3));
    QVERIFY(m_comm->setPortOpen(false).ok());
    QCOMPARE(m_line->closeCount, 1);
}

void TestCommControl::levelsAppliedAtEveryOpen_data()
{
    QTest::addColumn<QList<Level>>("requests");
    QTest::addColumn<QList<Level>>("applied");

    QTest::newRow("nothing requested") << QList<Level>{} << QList<Level>{dtr(false), rts(false)};
    QTest::newRow("DTR high") << QList<Level>{dtr(true)} << QList<Level>{dtr(true), rts(false)};
    QTest::newRow("RTS high") << QList<Level>{rts(true)} << QList<Level>{dtr(false), rts(true)};
    QTest::newRow("both high, then DTR low")
        << QList<Level>{rts(true), dtr(true), dtr(false)} << QList<Level>{dtr(false), rts(true)};
}

void TestCommControl::levelsAppliedAtEveryOpen()
{
    QFETCH(QList<Level>, requests);
    QFETCH(QList<Level>, applied);
    const auto request = [this](const Level &level) {
        return level.dtr ? m_comm->setDTREnable(level.high) : m_comm->setRTSEnable(level.high);
    };

    for (const Level &level : requests)
        QVERIFY(request(level).ok());
    QVERIFY(m_line->levelChanges.isEmpty());
    QVERIFY(opens());
    QCOMPARE(m_line->levelChanges, together(applied));

    // Closed again, a changed request waits for the next open.
    QVERIFY(m_comm->setPortOpen(false).ok());
    m_line->levelChanges.clear();
    QVERIFY(m_comm->setDTREnable(!applied[0].high).ok());
    QVERIFY(m_line->levelChanges.isEmpty());
    QVERIFY(opens());
    QCOMPARE(m_line->levelChanges, together({dtr(!applied[0].high), applied[1]}));
    QCOMPARE(m_line->dtr(), !applied[0].high);
    QCOMPARE(m_line->rts(), applied[1].high);

    // While open a request goes straight to the line.
    QVERIFY(m_comm->setRTSEnable(!applied[1].high).ok());
    QCOMPARE(m_line->levelChanges.last(), rts(!applied[1].high));
}

void TestCommControl::lineWithoutModemLines()
{
    m_line->modemLinesSupported = false;
    QVERIFY(m_comm->setRTSEnable(true).ok());

    QVERIFY(opens());

    QCOMPARE(m_comm->PortOpen().value(), true);
    const Status dtrStatus = m_comm->setDTREnable(true);
    QCOMPARE(codeOf(dtrStatus), int(FailureCode::ModemLinesUnsupported));
    QCOMPARE(m_comm->DTREnable(), true);
    const Status rtsStatus = m_comm->setRTSEnable(false);
    QCOMPARE(codeOf(rtsStatus), int(FailureCode::ModemLinesUnsupported));
    QCOMPARE(m_comm->RTSEnable(), false);
    QVERIFY(m_line->levelChanges.isEmpty());
    QVERIFY(m_comm->setOutput(QStringLiteral("ok")).ok());
    QCOMPARE(m_line->sent, QByteArray("ok"));
}

void TestCommControl::outputBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("Grüße €") << QStringLiteral("Grüße €") << QByteArray::fromHex("4772FCDF652080");
    QTest::newRow("CR LF and NUL") << QStringLiteral("a\r\n\0b") << QByteArray("a\r\n\0b", 5);
    QTest::newRow("empty") << QString() << QByteArray();
}

void TestCommControl::outputBytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QVERIFY(opens());

    const Status status = m_comm->setOutput(text);

    QVERIFY2(status.ok(), qPrintable(textOf(status)));
    QCOMPARE(m_line->sent, bytes);
    QVERIFY(m_line->queued.isEmpty());
}

void TestCommControl::outputUnencodable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("named");

    QTest::newRow("日") << QStringLiteral("Grüße 日") << QStringLiteral("U+65E5");
    QTest::newRow("😀") << QString::fromUtf8("ok 😀") << QStringLiteral("U+1F600");
    QTest::newRow("U+0080") << QStringLiteral("\u0080") << QStringLiteral("U+0080");
}

void TestCommControl::outputUnencodable()
{
    QFETCH(QString, text);
    QFETCH(QString, named);
    m_line->deliverAtOnce = false;
    QVERIFY(opens());

    const Status status = m_comm->setOutput(text);

    QCOMPARE(codeOf(status), int(FailureCode::CharacterNotEncodable));
    QVERIFY2(status.failure().text.contains(named), qPrintable(status.failure().text));
    QVERIFY(m_line->queued.isEmpty());
    QVERIFY(m_line->sent.isEmpty());
}

void TestCommControl::outputWhileClosed()
{
    const Status status = m_comm->setOutput(QStringLiteral("x"));

    QCOMPARE(codeOf(status), int(FailureCode::PortNotOpen));
    QVERIFY(m_line->sent.isEmpty());
}

void TestCommControl::outputQueueCap()
{
    m_line->deliverAtOnce = false;
    QVERIFY(opens());
    QVERIFY(m_comm->setOutput(QString(CommControl::kMaxQueuedBytes - 1, u'a')).ok());

    const Status refused = m_comm->setOutput(QStringLiteral("bc"));

    QCOMPARE(codeOf(refused), int(FailureCode::TransmitQueueFull));
    QCOMPARE(m_line->queued.size(), CommControl::kMaxQueuedBytes - 1);
    QVERIFY(m_comm->setOutput(QStringLiteral("b")).ok());
    QCOMPARE(m_line->queued.size(), CommControl::kMaxQueuedBytes);
    QVERIFY(m_line->queued.endsWith("ab"));
    m_line->deliver();
    QVERIFY(m_comm->setOutput(QStringLiteral("c")).ok());
}

void TestCommControl::deviceLost()
{
    QVERIFY(opens());
    QSignalSpy lost(m_comm.get(), &CommControl::deviceLost);

    m_line->vanish(1000);

    QCOMPARE(lost.count(), 0); // queued: the receiver must not run inside the line's signal
    QTRY_COMPARE(lost.count(), 1);
    const auto failure = lost.at(0).at(0).value<Failure>();
    QCOMPARE(failure.code, int(FailureCode::DeviceGone));
    QCOMPARE(failure.text, QStringLiteral("fake: device gone"));
    m_line->vanish(10);
    QTest::qWait(20);
    QCOMPARE(lost.count(), 1);

    QCOMPARE(m_comm->PortOpen().value(), true);
    QCOMPARE(codeOf(m_comm->setOutput(QStringLiteral("x"))), int(FailureCode::DeviceGone));
    QCOMPARE(codeOf(m_comm->setDTREnable(true)), int(FailureCode::DeviceGone));
    QCOMPARE(codeOf(m_comm->setRTSEnable(true)), int(FailureCode::DeviceGone));
    QVERIFY(m_comm->setPortOpen(false).ok());
    QCOMPARE(m_comm->PortOpen().value(), false);

    // The requested levels survived the loss and a new open brings them back.
    QVERIFY(opens());
    QCOMPARE(m_line->levelChanges.mid(m_line->levelChanges.size() - 2), together({dtr(true), rts(true)}));
    QVERIFY(m_comm->setOutput(QStringLiteral("back")).ok());
    QCOMPARE(m_line->sent, QByteArray("back"));
}

void TestCommControl::discardCount_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("delivered");
    QTest::addColumn<qint64>("discarded"); // 0: no signal

    QTest::newRow("five queued") << QStringLiteral("Grüße") << qint64(0) << qint64(5);
    QTest::newRow("two of five delivered") << QStringLiteral("Grüße") << qint64(2) << qint64(3);
    QTest::newRow("all delivered") << QStringLiteral("Grüße") << qint64(5) << qint64(0);
    QTest::newRow("nothing written") << QString() << qint64(0) << qint64(0);
}

void TestCommControl::discardCount()
{
    QFETCH(QString, text);
    QFETCH(qint64, delivered);
    QFETCH(qint64, discarded);
    m_line->deliverAtOnce = false;
    QVERIFY(opens());
    QVERIFY(m_comm->setOutput(text).ok());
    m_line->deliver(delivered);
    QSignalSpy spy(m_comm.get(), &CommControl::bytesDiscarded);

    QVERIFY(m_comm->setPortOpen(false).ok());

    if (discarded == 0) {
        QCOMPARE(spy.count(), 0);
    } else {
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<qint64>(), discarded);
    }
}

QTEST_GUILESS_MAIN(TestCommControl)
#include "tst_comm_control.moc"
