#include <QProcess>
#include <QRegularExpression>
#include <QTest>

class TestLineMonitor : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void terminateReachesProgram();
};

namespace {

const QString kOpened = QStringLiteral("COM 1  geöffnet: DTR ↑ RTS ↑");
const QString kClosed = QStringLiteral("COM 1  geschlossen: DTR ↓ RTS ↓");

QString shown(const char *text)
{
    return QStringLiteral("COM 1  ") + QString::fromUtf8(text);
}

} // namespace

void TestLineMonitor::run_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expectedLines"); // in this order, among others
    QTest::addColumn<QStringList>("expectedEvents"); // exactly these, as patterns
    QTest::addColumn<int>("bytesSent"); // shown or reported thrown away, none lost
    QTest::addColumn<int>("expectedExitCode");

    const auto shell = [](const QString &script) { return QStringList {QStringLiteral("sh"), QStringLiteral("-c"), script}; };
    const auto probe = [](const char *steps) {
        return QStringList {QStringLiteral("python3"), QStringLiteral(LINE_PROBE_PATH)}
            + QString::fromLatin1(steps).split(u' ');
    };

    QTest::newRow("printf Hal")
        << shell(QStringLiteral("printf Hal > \"$KESTAVO_COM1\""))
        << QStringList {QStringLiteral("COM 1 → 3 Bytes: 48 61 6C  |Hal|"),
                        QStringLiteral("COM 1: sh exited with status 0.")}
        << QStringList {kOpened, kClosed} << 3 << 0;
    QTest::newRow("printf Grüße as Windows-1252")
        << shell(QStringLiteral("printf 'Gr\\374\\337e' > \"$KESTAVO_COM1\""))
        << QStringList {QStringLiteral("COM 1 → 5 Bytes: 47 72 FC DF 65  |Grüße|")}
        << QStringList {kOpened, kClosed} << 5 << 0;
    QTest::newRow("printf newline untranslated")
        << shell(QStringLiteral("printf 'a\\n' > \"$KESTAVO_COM1\""))
        << QStringList {QStringLiteral("COM 1 → 2 Bytes: 61 0A  |a.|")}
        << QStringList {kOpened, kClosed} << 2 << 0;
    QTest::newRow("two opens with a pause")
        << shell(QStringLiteral("printf A > \"$KESTAVO_COM1\"; sleep 0.3; printf B > \"$KESTAVO_COM1\""))
        << QStringList {QStringLiteral("COM 1 → 1 Byte: 41  |A|"), QStringLiteral("COM 1 → 1 Byte: 42  |B|")}
        << QStringList {kOpened, kClosed, kOpened, kClosed} << 2 << 0;
    QTest::newRow("slave path under /dev/pts")
        << shell(QStringLiteral("case \"$KESTAVO_COM1\" in /dev/pts/*) test -c \"$KESTAVO_COM1\" && exit 0;; esac; exit 9"))
        << QStringList {QStringLiteral("COM 1: sh exited with status 0.")} << QStringList {} << 0 << 0;
    QTest::newRow("exit 3")
        << shell(QStringLiteral("exit 3"))
        << QStringList {QStringLiteral("COM 1: sh exited with status 3.")} << QStringList {} << 0 << 3;
    QTest::newRow("kill -TERM itself")
        << shell(QStringLiteral("kill -TERM $$"))
        << QStringList {QStringLiteral("COM 1: sh ended by signal 15 (SIGTERM).")} << QStringList {} << 0 << 128 + 15;
    QTest::newRow("missing program")
        << QStringList {QStringLiteral("/nonexistent/kestavo-no-such-program")}
        << QStringList {QStringLiteral("COM 1: /nonexistent/kestavo-no-such-program exited with status 127.")}
        << QStringList {} << 0 << 127;

    QTest::newRow("BIC and BIS move only the lines they name, a request that changes nothing is no event")
        << probe("open a get a DTR+RTS bic a DTR get a RTS bic a DTR bis a DTR+RTS get a DTR+RTS close a")
        << QStringList {} << QStringList {kOpened, shown("DTR ↓"), shown("DTR ↑"), kClosed} << 0 << 0;
    QTest::newRow("SET moves both lines in one event")
        << probe("open a set a - get a - set a RTS set a RTS close a")
        << QStringList {} << QStringList {kOpened, shown("DTR ↓ RTS ↓"), shown("RTS ↑"), shown("geschlossen: RTS ↓")}
        << 0 << 0;
    QTest::newRow("every open raises both, only the last close drops them")
        << probe("open a set a - open b get a DTR+RTS close b get a DTR+RTS close a")
        << QStringList {}
        << QStringList {kOpened, shown("DTR ↓ RTS ↓"), kOpened, shown("geschlossen"), kClosed} << 0 << 0;
    QTest::newRow("without HUPCL the lines stay up after the last close")
        << probe("open a nohupcl a close a open b get b DTR+RTS close b")
        << QStringList {}
        << QStringList {kOpened, shown("geschlossen"), shown("geöffnet"), shown("geschlossen")} << 0 << 0;
    QTest::newRow("B0 drops both, leaving it raises both, or only DTR with CRTSCTS")
        << probe("open a speed a 0 get a - speed a 9600 get a DTR+RTS speed a 0 speed a 9600 crtscts get a DTR close a")
        << QStringList {}
        << QStringList {kOpened, shown("Geschwindigkeit B0: DTR ↓ RTS ↓"),
                        shown("Geschwindigkeit nicht mehr B0: DTR ↑ RTS ↑"), shown("Geschwindigkeit B0: DTR ↓ RTS ↓"),
                        shown("Geschwindigkeit nicht mehr B0: DTR ↑"), shown("geschlossen: DTR ↓")}
        << 0 << 0;
    QTest::newRow("an open at B0 leaves both low")
        << probe("open a speed a 0 open b get b - close b close a")
        << QStringList {}
        << QStringList {kOpened, shown("Geschwindigkeit B0: DTR ↓ RTS ↓"), shown("geöffnet"), shown("geschlossen"),
                        shown("geschlossen")}
        << 0 << 0;
    QTest::newRow("killed with the port open: the kernel's hang-up")
        << probe("open a bic a RTS die a") << QStringList {}
        << QStringList {kOpened, shown("RTS ↓"), shown("geschlossen, weil das Programm endete: DTR ↓")} << 0 << 128 + 9;
    // However slow the machine, 0.3 s of line time cannot carry more than 400 bytes.
    QTest::newRow("paced at 960 bytes a second, a flush throws the queue away")
        << probe("open a write a 3000 sleep 0.3 outq a 2500 3000 flush a outq a 0 0 close a")
        << QStringList {} << QStringList {kOpened, shown("\\d+ Bytes verworfen, nicht gesendet"), kClosed} << 3000 << 0;
}

void TestLineMonitor::run()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expectedLines);
    QFETCH(QStringList, expectedEvents);
    QFETCH(int, bytesSent);
    QFETCH(int, expectedExitCode);

    QProcess monitor;
    monitor.setProgram(QStringLiteral(LINE_MONITOR_PATH));
    monitor.setArguments(arguments);
    monitor.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    monitor.start();
    QVERIFY(monitor.waitForStarted());
    QVERIFY2(monitor.waitForFinished(20'000), "the monitor did not end with its program");

    // Chunks and events carry the time they happened; the rest does not.
    static const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d  "));
    QStringList lines;
    for (const QString &line : QString::fromUtf8(monitor.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts))
        lines << QString(line).remove(stamp);
    const QString all = lines.join(u'\n');
    QVERIFY2(!lines.isEmpty() && lines.first().startsWith(QLatin1String("COM 1 = /dev/pts/")), qPrintable(all));
    qsizetype from = 0;
    for (const QString &expected : expectedLines) {
        const qsizetype at = lines.indexOf(expected, from);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("missing \"%1\" in:\n%2").arg(expected, all)));
        from = at + 1;
    }

    static const QRegularExpression chunk(QStringLiteral("^COM 1 → (\\d+) Bytes?: "));
    static const QRegularExpression discarded(QStringLiteral("^COM 1  (\\d+) Bytes? verworfen"));
    QStringList events;
    int accounted = 0;
    for (const QString &line : lines) {
        if (const auto match = chunk.match(line); match.hasMatch())
            accounted += match.captured(1).toInt();
        if (const auto match = discarded.match(line); match.hasMatch())
            accounted += match.captured(1).toInt();
        if (line.startsWith(QLatin1String("COM 1  ")))
            events << line;
    }
    QCOMPARE(events.size(), expectedEvents.size());
    for (qsizetype i = 0; i < events.size(); ++i) {
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(expectedEvents[i]));
        QVERIFY2(pattern.match(events[i]).hasMatch(),
                 qPrintable(QStringLiteral("event %1 is \"%2\", expected \"%3\"").arg(i).arg(events[i], expectedEvents[i])));
    }
    QCOMPARE(accounted, bytesSent);
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), expectedExitCode);
}

void TestLineMonitor::terminateReachesProgram()
{
    QProcess monitor;
    monitor.start(QStringLiteral(LINE_MONITOR_PATH), {QStringLiteral("sleep"), QStringLiteral("30")});
    QVERIFY(monitor.waitForStarted());
    QVERIFY(monitor.waitForReadyRead(5'000));
    monitor.terminate();
    QVERIFY2(monitor.waitForFinished(5'000), "the monitor did not end with its program");

    const QStringList lines = QString::fromUtf8(monitor.readAll()).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.value(lines.size() - 1), QStringLiteral("COM 1: sleep ended by signal 15 (SIGTERM)."));
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), 128 + 15);
}

QTEST_GUILESS_MAIN(TestLineMonitor)
#include "tst_line_monitor.moc"
