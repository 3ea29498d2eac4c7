#include <QProcess>
#include <QTest>

class TestLineMonitor : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void terminateReachesProgram();
};

void TestLineMonitor::run_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<int>("expectedExitCode");

    const auto shell = [](const QString &script) { return QStringList {QStringLiteral("sh"), QStringLiteral("-c"), script}; };

    QTest::newRow("printf Hal")
        << shell(QStringLiteral("printf Hal > \"$KESTAVO_COM1\""))
        << QStringList {QStringLiteral("COM 1 → 3 Bytes: 48 61 6C  |Hal|"),
                        QStringLiteral("COM 1: sh exited with status 0.")}
        << 0;
    QTest::newRow("printf Grüße as Windows-1252")
        << shell(QStringLiteral("printf 'Gr\\374\\337e' > \"$KESTAVO_COM1\""))
        << QStringList {QStringLiteral("COM 1 → 5 Bytes: 47 72 FC DF 65  |Grüße|")}
        << 0;
    QTest::newRow("printf newline untranslated")
        << shell(QStringLiteral("printf 'a\\n' > \"$KESTAVO_COM1\""))
        << QStringList {QStringLiteral("COM 1 → 2 Bytes: 61 0A  |a.|")}
        << 0;
    QTest::newRow("two opens with a pause")
        << shell(QStringLiteral("printf A > \"$KESTAVO_COM1\"; sleep 0.3; printf B > \"$KESTAVO_COM1\""))
        << QStringList {QStringLiteral("COM 1 → 1 Byte: 41  |A|"), QStringLiteral("COM 1 → 1 Byte: 42  |B|")}
        << 0;
    QTest::newRow("slave path under /dev/pts")
        << shell(QStringLiteral("case \"$KESTAVO_COM1\" in /dev/pts/*) test -c \"$KESTAVO_COM1\" && exit 0;; esac; exit 9"))
        << QStringList {QStringLiteral("COM 1: sh exited with status 0.")}
        << 0;
    QTest::newRow("exit 3")
        << shell(QStringLiteral("exit 3"))
        << QStringList {QStringLiteral("COM 1: sh exited with status 3.")}
        << 3;
    QTest::newRow("kill -TERM itself")
        << shell(QStringLiteral("kill -TERM $$"))
        << QStringList {QStringLiteral("COM 1: sh ended by signal 15 (SIGTERM).")}
        << 128 + 15;
    QTest::newRow("missing program")
        << QStringList {QStringLiteral("/nonexistent/kestavo-no-such-program")}
        << QStringList {QStringLiteral("COM 1: /nonexistent/kestavo-no-such-program exited with status 127.")}
        << 127;
}

void TestLineMonitor::run()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expectedLines);
    QFETCH(int, expectedExitCode);

    QProcess monitor;
    monitor.setProgram(QStringLiteral(LINE_MONITOR_PATH));
    monitor.setArguments(arguments);
    monitor.start();
    QVERIFY(monitor.waitForStarted());
    QVERIFY2(monitor.waitForFinished(10'000), "the monitor did not end with its program");

    const QStringList lines = QString::fromUtf8(monitor.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(!lines.isEmpty() && lines.first().startsWith(QLatin1String("COM 1 = /dev/pts/")), qPrintable(lines.join(u'\n')));
    qsizetype from = 0;
    for (const QString &expected : expectedLines) {
        const qsizetype at = lines.indexOf(expected, from);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("missing \"%1\" in:\n%2").arg(expected, lines.join(u'\n'))));
        from = at + 1;
    }
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
