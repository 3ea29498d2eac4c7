#include "comm_control.h"
#include "device_holder.h"
#include "file_state.h"
#include "pseudo_terminal.h"
#include "qt_serial_line.h"
#include "status_parts.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>

using namespace kestavo;
using namespace std::chrono_literals;
using namespace kestavo::testing;

namespace {

constexpr qint16 kPortNumber = 4;
constexpr qsizetype kMebibyte = 1024 * 1024;
constexpr std::chrono::milliseconds kLargeSendLimit{60'000};
constexpr std::chrono::milliseconds kIdleMeasurement{300};
constexpr double kIdleCpuShare = 0.3;
constexpr qint64 kCloseHangLimitMs = 5000;
const QString kLockDir = QStringLiteral("/var/lock");

std::chrono::nanoseconds processCpuTime()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// Encodable Latin-1 characters in an order without a short period, so that a
// lost, doubled or swapped chunk shows.
std::pair<QString, QByteArray> scrambledText(qsizetype size)
{
    QByteArray alphabet;
    for (int c = 0x20; c <= 0xFF; ++c) {
        if (c < 0x7F || c >= 0xA0)
            alphabet.append(char(c));
    }
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 12345;
    for (char &byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = alphabet[(state >> 16) % alphabet.size()];
    }
    return {QString::fromLatin1(bytes), bytes};
}

} // namespace

class TestQtSerialLine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void exactBytes_data();
    void exactBytes();
    void terminalSettings();
    void largeTextWhileLoopTurns();
    void secondOpenerRefused_data();
    void secondOpenerRefused();
    void nonTerminalRefused_data();
    void nonTerminalRefused();
    void farEndClosedDuringSend();
    void closeDiscardsUnsent();
    void modemLinesOnPseudoTerminal();

private:
    bool opens();

    std::unique_ptr<PseudoTerminal> m_pty;
    QtSerialLine *m_line = nullptr;
    std::unique_ptr<CommControl> m_comm;
    QString m_lockFile;
};

void TestQtSerialLine::init()
{
    m_pty = std::make_unique<PseudoTerminal>();
    QVERIFY2(m_pty->isValid(), qPrintable(m_pty->error()));
    auto line = std::make_unique<QtSerialLine>();
    m_line = line.get();
    const QString slave = m_pty->slavePath();
    m_comm = std::make_unique<CommControl>(PortMap({{kPortNumber, {slave, slave}}}), std::move(line));
    QVERIFY(m_comm->setCommPort(kPortNumber).ok());
}

void TestQtSerialLine::cleanup()
{
    m_comm.reset();
    m_line = nullptr;
    if (!m_lockFile.isEmpty())
        QFile::remove(m_lockFile);
    m_lockFile.clear();
    m_pty.reset();
}

bool TestQtSerialLine::opens()
{
    const Status opened = m_comm->setPortOpen(true);
    if (!opened.ok())
        qWarning("open failed: %s", qPrintable(opened.failure().text));
    return opened.ok();
}

void TestQtSerialLine::exactBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("A") << QStringLiteral("A") << QByteArray("A");
    QTest::newRow("Grüße €") << QStringLiteral("Grüße €") << QByteArray::fromHex("4772FCDF652080");
    QTest::newRow("CR LF") << QStringLiteral("a\r\nb\n") << QByteArray("a\r\nb\n");
    QTest::newRow("empty") << QString() << QByteArray();
}

void TestQtSerialLine::exactBytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QVERIFY(opens());

    const Status sent = m_comm->setOutput(text);
    QVERIFY2(sent.ok(), qPrintable(textOf(sent)));
    // A marker behind the text shows when everything before it has arrived.
    QVERIFY(m_comm->setOutput(QStringLiteral("|")).ok());

    QByteArray received;
    QTRY_VERIFY((received += m_pty->read()).endsWith('|'));
    QCOMPARE(received, bytes + '|');
}

void TestQtSerialLine::terminalSettings()
{
    // Start from settings unlike the wanted ones, so that only the open can
    // produce them. A pseudo-terminal always keeps CS8 without parity itself.
    termios before{};
    QCOMPARE(tcgetattr(m_pty->slave(), &before), 0);
    cfsetispeed(&before, B115200);
    cfsetospeed(&before, B115200);
    before.c_cflag |= CSTOPB | CRTSCTS;
    before.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    before.c_oflag |= OPOST | ONLCR;
    before.c_iflag |= ICRNL | IXON;
    QCOMPARE(tcsetattr(m_pty->slave(), TCSANOW, &before), 0);
    QCOMPARE(tcgetattr(m_pty->slave(), &before), 0);
    QVERIFY(before.c_cflag & CSTOPB);
    QVERIFY(before.c_cflag & CRTSCTS);
    QCOMPARE(cfgetospeed(&before), speed_t(B115200));

    QVERIFY(opens());

    termios after{};
    QCOMPARE(tcgetattr(m_pty->slave(), &after), 0);
    QCOMPARE(cfgetospeed(&after), speed_t(B9600));
    QCOMPARE(cfgetispeed(&after), speed_t(B9600));
    QCOMPARE(after.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(after.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QVERIFY(after.c_cflag & CLOCAL);
    QCOMPARE(after.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(after.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(after.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), tcflag_t(0));
}

void TestQtSerialLine::largeTextWhileLoopTurns()
{
    const auto [text, bytes] = scrambledText(kMebibyte);
    QVERIFY(opens());
    MasterReader reader(*m_pty, bytes.size(), kLargeSendLimit);
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(1ms);

    QVERIFY(m_comm->setOutput(text).ok());

    // Had the send blocked, the reader would be done before one tick ran.
    QTRY_VERIFY_WITH_TIMEOUT(reader.finished(), int(kLargeSendLimit.count()));
    QVERIFY(ticks > 0);
    QCOMPARE(reader.data().size(), bytes.size());
    const auto mismatch = std::mismatch(bytes.begin(), bytes.end(), reader.data().begin());
    QVERIFY2(mismatch.first == bytes.end(),
             qPrintable(QStringLiteral("first difference at byte %1").arg(mismatch.first - bytes.begin())));
}

void TestQtSerialLine::secondOpenerRefused_data()
{
    QTest::addColumn<QString>("hold");
    QTest::newRow("UUCP lock file (minicom, lockdev)") << QStringLiteral("uucp");
    QTest::newRow("QLockFile lock file (a Qt program)") << QStringLiteral("qt");
    QTest::newRow("flock on the device") << QStringLiteral("flock");
}

void TestQtSerialLine::secondOpenerRefused()
{
    QFETCH(QString, hold);
    const bool lockFile = hold != QLatin1String("flock");
    if (lockFile && !QFileInfo(kLockDir).isWritable())
        QSKIP("no writable lock directory");
    const QString lockPath = lockFilePath(m_pty->slavePath());
    QVERIFY2(m_pty->removeStaleLock(), qPrintable(lockPath));
    DeviceHolder holder(m_pty->slavePath(), lockFile ? DeviceHolder::Hold::Nothing : DeviceHolder::Hold::Flock);
    QVERIFY(holder.isHolding());
    QByteArray lockContent;
    if (hold == QLatin1String("uucp")) {
        lockContent = QByteArray::number(holder.pid()).rightJustified(10) + '\n';
    } else if (hold == QLatin1String("qt")) {
        lockContent = QByteArray::number(holder.pid()) + "\nholder\n" + QSysInfo::machineHostName().toUtf8() + '\n';
    }
    if (lockFile) {
        QFile file(lockPath);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        m_lockFile = lockPath;
        file.write(lockContent);
    }

    const Status status = m_comm->setPortOpen(true);

    QCOMPARE(codeOf(status), int(FailureCode::DeviceBusy));
    QVERIFY2(status.failure().text.contains(m_pty->slavePath()), qPrintable(status.failure().text));
    // Found through the lock file, or through the holder's open descriptors.
    const QString named = QStringLiteral("von tst_qt_serial_line (PID %1) benutzt").arg(holder.pid());
    QVERIFY2(status.failure().text.contains(named), qPrintable(status.failure().text));
    if (lockFile) {
        QFile file(lockPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), lockContent);
    } else {
        QVERIFY(!QFile::exists(lockPath));
    }
    QCOMPARE(m_comm->PortOpen().value(), false);

    // Once the other process is gone (its lock file merely stale), the port opens.
    holder.release();
    QVERIFY(opens());
    QVERIFY(m_comm->setOutput(QStringLiteral("mine")).ok());
    QByteArray received;
    QTRY_COMPARE((received += m_pty->read()), QByteArray("mine"));
}

void TestQtSerialLine::nonTerminalRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("code");

    QTest::newRow("regular file") << QStringLiteral("file") << int(FailureCode::NotASerialDevice);
    QTest::newRow("FIFO without reader") << QStringLiteral("fifo") << int(FailureCode::NotASerialDevice);
    QTest::newRow("directory") << QStringLiteral("dir") << int(FailureCode::NotASerialDevice);
    QTest::newRow("/dev/null") << QStringLiteral("null") << int(FailureCode::NotASerialDevice);
    QTest::newRow("missing path") << QStringLiteral("missing") << int(FailureCode::DeviceNotFound);
}

void TestQtSerialLine::nonTerminalRefused()
{
    QFETCH(QString, kind);
    QFETCH(int, code);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.filePath(kind);
    if (kind == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep me\n");
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == QLatin1String("dir")) {
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("dir/inside")));
    } else if (kind == QLatin1String("null")) {
        path = QStringLiteral("/dev/null");
    }
    const FileState before = stateOf(path);
    // A failed open must leave no lock file behind.
    const QString lockPath = lockFilePath(path);
    const bool lockExisted = QFile::exists(lockPath);
    QtSerialLine line;

    const Status status = line.open(path);

    QCOMPARE(codeOf(status), code);
    QVERIFY2(status.failure().text.contains(path), qPrintable(status.failure().text));
    QVERIFY(!line.isOpen());
    QCOMPARE(stateOf(path), before);
    QCOMPARE(QFile::exists(lockPath), lockExisted);
    QCOMPARE(codeOf(line.write("x")), int(FailureCode::PortNotOpen));
}

void TestQtSerialLine::farEndClosedDuringSend()
{
    QVERIFY(opens());
    QSignalSpy lineLost(m_line, &SerialLine::lost);
    QSignalSpy deviceLost(m_comm.get(), &CommControl::deviceLost);
    QSignalSpy discarded(m_comm.get(), &CommControl::bytesDiscarded);
    QVERIFY(m_comm->setOutput(QString(kMebibyte, u'x')).ok());
    QByteArray received;
    QTRY_VERIFY((received += m_pty->read()).size() >= 64 * 1024);

    m_pty->closeMaster();

    QTRY_COMPARE(deviceLost.count(), 1);
    const auto failure = deviceLost.at(0).at(0).value<Failure>();
    QCOMPARE(failure.code, int(FailureCode::DeviceGone));
    QVERIFY2(failure.text.contains(m_pty->slavePath()), qPrintable(failure.text));

    // A storm of error signals would keep the event loop busy here.
    QElapsedTimer wall;
    const auto cpuBefore = processCpuTime();
    wall.start();
    QEventLoop idle;
    QTimer::singleShot(kIdleMeasurement, &idle, &QEventLoop::quit);
    idle.exec();
    const double cpuShare = double((processCpuTime() - cpuBefore).count()) / double(wall.nsecsElapsed());
    QVERIFY2(cpuShare < kIdleCpuShare, qPrintable(QStringLiteral("CPU share %1 while idle").arg(cpuShare)));
    QCOMPARE(lineLost.count(), 1);
    QCOMPARE(deviceLost.count(), 1);

    QCOMPARE(m_comm->PortOpen().value(), true);
    QCOMPARE(codeOf(m_comm->setOutput(QStringLiteral("x"))), int(FailureCode::DeviceGone));
    QVERIFY(m_comm->setPortOpen(false).ok());
    QCOMPARE(m_comm->PortOpen().value(), false);
    QCOMPARE(discarded.count(), 1);
    const qint64 lost = discarded.at(0).at(0).value<qint64>();
    QVERIFY2(lost > 0 && lost <= kMebibyte - received.size(), qPrintable(QString::number(lost)));
}

void TestQtSerialLine::closeDiscardsUnsent()
{
    QVERIFY(opens());
    QSignalSpy discarded(m_comm.get(), &CommControl::bytesDiscarded);
    QVERIFY(m_comm->setOutput(QString(kMebibyte, u'x')).ok());
    QElapsedTimer elapsed;
    elapsed.start();

    QVERIFY(m_comm->setPortOpen(false).ok());

    QVERIFY2(elapsed.elapsed() < kCloseHangLimitMs, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(m_comm->PortOpen().value(), false);
    QCOMPARE(discarded.count(), 1);
    const qint64 count = discarded.at(0).at(0).value<qint64>();
    const QByteArray received = m_pty->read();
    QVERIFY2(count > 0 && count + received.size() <= kMebibyte,
             qPrintable(QStringLiteral("%1 discarded, %2 received").arg(count).arg(received.size())));
}

void TestQtSerialLine::modemLinesOnPseudoTerminal()
{
    QVERIFY(m_comm->setDTREnable(true).ok());

    QVERIFY(opens());

    QCOMPARE(codeOf(m_comm->setDTREnable(false)), int(FailureCode::ModemLinesUnsupported));
    QCOMPARE(m_comm->DTREnable(), false);
    QCOMPARE(codeOf(m_comm->setRTSEnable(true)), int(FailureCode::ModemLinesUnsupported));
    QCOMPARE(m_comm->RTSEnable(), true);
    // The failed ioctls must not pass for a lost device.
    QVERIFY(m_comm->setOutput(QStringLiteral("still here")).ok());
    QByteArray received;
    QTRY_COMPARE((received += m_pty->read()), QByteArray("still here"));
}

QTEST_GUILESS_MAIN(TestQtSerialLine)
#include "tst_qt_serial_line.moc"
