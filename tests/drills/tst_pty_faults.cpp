#include "comm_control.h"
#include "drill_row.h"
#include "pseudo_terminal.h"
#include "qt_serial_line.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <random>

using namespace kestavo;
using namespace std::chrono_literals;
using kestavo::testing::addDrillRow;
using kestavo::testing::lockFilePath;
using kestavo::testing::MasterReader;
using kestavo::testing::PseudoTerminal;

namespace {

constexpr quint64 kFixedSeed = 7031;
constexpr int kDefaultRounds = 100;
constexpr int kLongestText = 200 * 1024;
constexpr int kMostTexts = 4;
constexpr std::chrono::microseconds kLongestRead{120'000};
constexpr std::chrono::microseconds kPatientRead{400'000};
constexpr std::chrono::milliseconds kLatestSend{100};
// Generous limits: reaching one means the component hangs, not that it is slow.
constexpr int kHangLimitMs = 20'000;
// How long the loss may take to show once the far end is gone and bytes wait.
constexpr std::chrono::milliseconds kLossNotice{3000};
// How long a single loss report is watched for repeats.
constexpr std::chrono::milliseconds kRepeatWatch{30};

bool holdsOpen(const QString &path)
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == path)
            return true;
    }
    return false;
}

qint64 sum(const QSignalSpy &spy)
{
    qint64 total = 0;
    for (const QList<QVariant> &arguments : spy)
        total += arguments.at(0).toLongLong();
    return total;
}

struct Tally {
    int lostWhileSending = 0;
    int lostOnlyAfterProbe = 0;
    int everythingArrived = 0;
    int discardReported = 0;
    qint64 bytesAccepted = 0;
    qint64 bytesArrived = 0;
};

} // namespace

class tst_PtyFaults : public QObject
{
    Q_OBJECT

private slots:
    void farEndVanishesWhileSending_data();
    void farEndVanishesWhileSending();

private:
    // Empty when the round held; otherwise what went wrong.
    QString round(std::mt19937_64 &random, Tally &tally);
};

void tst_PtyFaults::farEndVanishesWhileSending_data()
{
    addDrillRow("pty fault drill", kFixedSeed, "rounds", "KESTAVO_DRILL_ROUNDS", kDefaultRounds);
}

void tst_PtyFaults::farEndVanishesWhileSending()
{
    QFETCH(quint64, seed);
    QFETCH(int, rounds);

    std::mt19937_64 random(seed);
    Tally tally;
    for (int i = 1; i <= rounds; ++i) {
        const QString error = round(random, tally);
        QVERIFY2(error.isEmpty(), qPrintable(QStringLiteral("seed %1, round %2: %3").arg(seed).arg(i).arg(error)));
    }
    qInfo("loss seen while sending: %d, only after a probe: %d, rounds with every byte delivered: %d, "
          "with bytes reported thrown away: %d; %lld bytes accepted, %lld arrived",
          tally.lostWhileSending, tally.lostOnlyAfterProbe, tally.everythingArrived, tally.discardReported,
          static_cast<long long>(tally.bytesAccepted), static_cast<long long>(tally.bytesArrived));
}

QString tst_PtyFaults::round(std::mt19937_64 &random, Tally &tally)
{
    const auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };

    PseudoTerminal pty(PseudoTerminal::Slave::NotKept);
    if (!pty.isValid())
        return pty.error();
    pty.removeStaleLock();
    const QString slave = pty.slavePath();

    auto ownedLine = std::make_unique<QtSerialLine>();
    QtSerialLine *line = ownedLine.get();
    CommControl comm(PortMap(std::map<int, PortEntry>{{1, PortEntry{slave, slave}}}), std::move(ownedLine));
    QSignalSpy lost(&comm, &CommControl::deviceLost);
    QSignalSpy discarded(&comm, &CommControl::bytesDiscarded);

    if (Status s = comm.setCommPort(1); !s.ok())
        return s.failure().text;
    if (Status s = comm.setPortOpen(true); !s.ok())
        return QStringLiteral("open %1: %2").arg(slave, s.failure().text);
    // Checked again after the disconnect, when it must be gone.
    if (!QFileInfo::exists(lockFilePath(slave)))
        return QStringLiteral("no lock file %1 while open").arg(lockFilePath(slave));

    // A few texts at random moments; now and then a patient far end that
    // takes everything before it goes.
    const bool patient = pick(0, 99) < 15;
    const int texts = patient ? 1 : pick(1, kMostTexts);
    QList<QByteArray> planned;
    QList<int> at;
    for (int i = 0; i < texts; ++i) {
        QByteArray bytes(pick(1, patient ? 4096 : kLongestText), Qt::Uninitialized);
        for (char &b : bytes) {
            const int c = pick(0x20, 0x7E + 0x60);
            b = static_cast<char>(c <= 0x7E ? c : c - 0x7F + 0xA0); // printable Latin-1, the same in Windows-1252
        }
        planned << bytes;
        at << pick(0, int(kLatestSend.count()));
    }
    std::sort(at.begin(), at.end());
    const std::chrono::microseconds readFor =
        patient ? kPatientRead : std::chrono::microseconds(pick(0, int(kLongestRead.count())));

    QByteArray accepted;
    QString error;
    int done = 0;
    MasterReader farEnd(pty, MasterReader::kEverything, readFor, MasterReader::Then::CloseMaster);
    for (int i = 0; i < texts; ++i) {
        QTimer::singleShot(at[i], &comm, [&, i] {
            const Status status = comm.setOutput(QString::fromLatin1(planned[i]));
            if (status.ok())
                accepted += planned[i];
            else if (!status.failure().is(FailureCode::DeviceGone) || status.failure().text.isEmpty())
                error = QStringLiteral("text %1 refused: %2 %3").arg(i).arg(status.failure().code).arg(status.failure().text);
            ++done;
        });
    }
    if (!QTest::qWaitFor([&] { return done == texts && farEnd.finished(); }, kHangLimitMs))
        return QStringLiteral("sends or the far end did not finish");
    if (!error.isEmpty())
        return error;

    // Bytes still waiting for a line that is gone must make the loss show by itself.
    (void)QTest::qWaitFor([&] { return !lost.isEmpty() || line->pendingBytes() == 0; }, int(kLossNotice.count()));
    if (lost.isEmpty() && line->pendingBytes() > 0)
        return QStringLiteral("%1 bytes wait for a vanished far end and no loss was reported").arg(line->pendingBytes());

    const bool probed = lost.isEmpty();
    const QByteArray probeText("probe");
    if (probed) {
        // Everything had left before the far end went: only the next send can find out.
        const Status probe = comm.setOutput(QString::fromLatin1(probeText));
        if (!probe.ok())
            return QStringLiteral("the probe was refused before any loss: %1").arg(probe.failure().text);
        accepted += probeText;
        if (!QTest::qWaitFor([&] { return !lost.isEmpty(); }, int(kLossNotice.count())))
            return QStringLiteral("a send to the vanished far end reported no loss");
        ++tally.lostOnlyAfterProbe;
    } else {
        ++tally.lostWhileSending;
    }
    QTest::qWait(int(kRepeatWatch.count()));
    if (lost.size() != 1)
        return QStringLiteral("the loss was reported %1 times").arg(lost.size());
    const Failure failure = lost.first().at(0).value<Failure>();
    if (!failure.is(FailureCode::DeviceGone) || !failure.text.contains(slave))
        return QStringLiteral("the loss was reported as %1 %2").arg(failure.code).arg(failure.text);
    if (const Status again = comm.setOutput(QStringLiteral("x")); again.ok() || !again.failure().is(FailureCode::DeviceGone))
        return QStringLiteral("a send after the loss was not refused as gone");

    if (!comm.PortOpen().value())
        return QStringLiteral("the port closed itself");
    if (Status closed = comm.setPortOpen(false); !closed.ok())
        return QStringLiteral("disconnect failed: %1").arg(closed.failure().text);
    if (comm.PortOpen().value() || line->isOpen() || holdsOpen(slave))
        return QStringLiteral("the line is still open after the disconnect");
    if (QFileInfo::exists(lockFilePath(slave)))
        return QStringLiteral("the lock file %1 was left behind").arg(lockFilePath(slave));

    const QByteArray &arrived = farEnd.data();
    if (!accepted.startsWith(arrived)) {
        qsizetype same = 0;
        while (same < arrived.size() && arrived[same] == accepted[same])
            ++same;
        return QStringLiteral("%1 of %2 bytes arrived, not a prefix: they differ from byte %3")
            .arg(arrived.size())
            .arg(accepted.size())
            .arg(same);
    }
    // What the kernel held when the far end went is gone unreported; what the
    // component reports thrown away can only come from what did not arrive.
    if (sum(discarded) > accepted.size() - arrived.size())
        return QStringLiteral("%1 bytes reported discarded, but only %2 did not arrive").arg(sum(discarded)).arg(accepted.size() - arrived.size());
    for (const QList<QVariant> &arguments : std::as_const(discarded)) {
        if (arguments.at(0).toLongLong() <= 0)
            return QStringLiteral("a discard of %1 bytes was reported").arg(arguments.at(0).toLongLong());
    }
    // The user hears of those bytes in the loss report already.
    if (sum(discarded) > 0
        && !failure.text.contains(QRegularExpression(QStringLiteral("(^|\\D)%1 Byte").arg(sum(discarded)))))
        return QStringLiteral("%1 bytes were thrown away, the loss report says: %2").arg(sum(discarded)).arg(failure.text);

    if (sum(discarded) > 0)
        ++tally.discardReported;
    tally.bytesAccepted += accepted.size();
    tally.bytesArrived += arrived.size();
    if (arrived.size() == accepted.size() - (probed ? probeText.size() : 0))
        ++tally.everythingArrived;
    return {};
}

QTEST_MAIN(tst_PtyFaults)
#include "tst_pty_faults.moc"
