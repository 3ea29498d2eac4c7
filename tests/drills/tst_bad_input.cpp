#include "comm_control.h"
#include "file_state.h"
#include "frm_main.h"
#include "pseudo_terminal.h"
#include "qt_serial_line.h"
#include "ui_frmMain.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestavo;
using namespace std::chrono_literals;
using kestavo::testing::FileState;
using kestavo::testing::lockFilePath;
using kestavo::testing::stateOf;
using kestavo::testing::PseudoTerminal;

namespace {

constexpr qsizetype kMebibyte = 1024 * 1024;
// Long enough for a byte sent by mistake to reach the master.
constexpr std::chrono::milliseconds kQuietWatch{200};
constexpr std::chrono::milliseconds kArrival{5000};
constexpr int kChildLimitMs = 30'000;

CommControl *makeComm(const QString &device, QtSerialLine **line, std::unique_ptr<CommControl> *owner)
{
    auto ownedLine = std::make_unique<QtSerialLine>();
    *line = ownedLine.get();
    *owner = std::make_unique<CommControl>(PortMap(std::map<int, PortEntry>{{1, PortEntry{device, device}}}),
                                           std::move(ownedLine));
    return owner->get();
}

// Reads the master while the event loop sends, until `expected` bytes are in.
QByteArray receive(PseudoTerminal &pty, qsizetype expected, std::chrono::milliseconds limit)
{
    QByteArray bytes;
    QDeadlineTimer deadline(limit);
    while (bytes.size() < expected && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        bytes += pty.read(1ms, 0ms);
    }
    return bytes;
}

QByteArray watchQuiet(PseudoTerminal &pty)
{
    QByteArray bytes;
    QDeadlineTimer deadline(kQuietWatch);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        bytes += pty.read(5ms, 0ms);
    }
    return bytes;
}

// A time well in the past, so that any write would move it.
void ageFile(const QString &path)
{
    const timespec times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

} // namespace

class tst_BadInput : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unencodableTextSendsNothing_data();
    void unencodableTextSendsNothing();
    void oversizedTextQueuesNothing_data();
    void oversizedTextQueuesNothing();
    void pathThatIsNoLineIsLeftAlone_data();
    void pathThatIsNoLineIsLeftAlone();
    void portWithoutPermissionNamesTheCure_data();
    void portWithoutPermissionNamesTheCure();

private:
    std::unique_ptr<PseudoTerminal> m_pty;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_BadInput::init()
{
    m_pty = std::make_unique<PseudoTerminal>(PseudoTerminal::Slave::NotKept);
    QVERIFY2(m_pty->isValid(), qPrintable(m_pty->error()));
    m_pty->removeStaleLock();
}

void tst_BadInput::cleanup()
{
    m_pty.reset();
    m_dir.reset();
}

void tst_BadInput::unencodableTextSendsNothing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("offender");

    QTest::newRow("日本") << QStringLiteral("日本") << QStringLiteral("日");
    QTest::newRow("😀") << QStringLiteral("😀") << QStringLiteral("😀");
    QTest::newRow("Grüße 😀 €") << QStringLiteral("Grüße 😀 €") << QStringLiteral("😀");
    QTest::newRow("AT then U+0080") << QStringLiteral("AT\u0080") << QStringLiteral("\u0080");
    QTest::newRow("Ā (U+0100)") << QStringLiteral("\u0100") << QStringLiteral("\u0100");
}

// Through the window on a real line: the user is told, and the far end gets
// nothing, not even the encodable part before the offending character.
void tst_BadInput::unencodableTextSendsNothing()
{
    QFETCH(QString, text);
    QFETCH(QString, offender);

    QtSerialLine *line = nullptr;
    std::unique_ptr<CommControl> comm;
    makeComm(m_pty->slavePath(), &line, &comm);
    frmMain window(std::move(comm));
    QList<Failure> failures;
    QStringList notices;
    window.setUserMessages({[&](const Failure &f) { failures << f; }, [&](const QString &n) { notices << n; }});
    window.Form_Load();
    QCOMPARE(window.ui().cmbComPort->count(), 1);
    window.ui().cmdVerbindung->click();
    QCOMPARE(window.ui().cmdVerbindung->text(), QStringLiteral("Trennen"));
    QVERIFY(failures.isEmpty());

    window.ui().txtDaten->setText(text);
    window.ui().cmdSenden->click();

    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.first().code, int(FailureCode::CharacterNotEncodable));
    QVERIFY2(failures.first().text.contains(offender), qPrintable(failures.first().text));
    QVERIFY2(failures.first().text.contains(QStringLiteral("nichts gesendet")), qPrintable(failures.first().text));
    QCOMPARE(line->pendingBytes(), 0);
    QCOMPARE(watchQuiet(*m_pty), QByteArray());
    QCOMPARE(window.ui().txtDaten->text(), text);
    QCOMPARE(window.ui().cmdVerbindung->text(), QStringLiteral("Trennen"));

    // The line still works, and nothing of the refused text comes before this.
    window.ui().txtDaten->setText(QStringLiteral("A"));
    window.ui().cmdSenden->click();
    QCOMPARE(receive(*m_pty, 1, kArrival), QByteArray("A"));
    QCOMPARE(failures.size(), 1);
    window.ui().cmdVerbindung->click();
    QVERIFY(notices.isEmpty());
}

void tst_BadInput::oversizedTextQueuesNothing_data()
{
    QTest::addColumn<qsizetype>("waiting");
    QTest::addColumn<qsizetype>("size");

    QTest::newRow("10 MiB text") << qsizetype(0) << 10 * kMebibyte;
    QTest::newRow("4 MiB + 1 byte") << qsizetype(0) << CommControl::kMaxQueuedBytes + 1;
    QTest::newRow("2 MiB waiting, then 2 MiB + 1 byte") << 2 * kMebibyte << 2 * kMebibyte + 1;
}

void tst_BadInput::oversizedTextQueuesNothing()
{
    QFETCH(qsizetype, waiting);
    QFETCH(qsizetype, size);

    QtSerialLine *line = nullptr;
    std::unique_ptr<CommControl> owner;
    CommControl *comm = makeComm(m_pty->slavePath(), &line, &owner);
    QSignalSpy discarded(comm, &CommControl::bytesDiscarded);
    QVERIFY(comm->setCommPort(1).ok());
    QVERIFY(comm->setPortOpen(true).ok());

    const QByteArray first(waiting, 'w');
    if (waiting > 0) {
        QVERIFY(comm->setOutput(QString::fromLatin1(first)).ok());
        QCOMPARE(line->pendingBytes(), waiting);
    }
    const Status refused = comm->setOutput(QString(size, u'Z'));
    QVERIFY(!refused.ok());
    QCOMPARE(refused.failure().code, int(FailureCode::TransmitQueueFull));
    QVERIFY2(refused.failure().text.contains(QString::number(size)), qPrintable(refused.failure().text));
    QVERIFY2(refused.failure().text.contains(QStringLiteral("nichts gesendet")), qPrintable(refused.failure().text));
    QCOMPARE(line->pendingBytes(), waiting);

    // What was waiting goes out whole, and nothing of the refused text follows it.
    QCOMPARE(receive(*m_pty, waiting, kArrival * 4), first);
    QCOMPARE(watchQuiet(*m_pty), QByteArray());
    QVERIFY(comm->setOutput(QStringLiteral("A")).ok());
    QCOMPARE(receive(*m_pty, 1, kArrival), QByteArray("A"));
    QVERIFY(comm->setPortOpen(false).ok());
    QCOMPARE(discarded.size(), 0);
}

void tst_BadInput::pathThatIsNoLineIsLeftAlone_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("code");

    QTest::newRow("regular file") << QStringLiteral("file") << int(FailureCode::NotASerialDevice);
    QTest::newRow("FIFO") << QStringLiteral("fifo") << int(FailureCode::NotASerialDevice);
    QTest::newRow("directory") << QStringLiteral("directory") << int(FailureCode::NotASerialDevice);
    QTest::newRow("missing path") << QStringLiteral("missing") << int(FailureCode::DeviceNotFound);
}

void tst_BadInput::pathThatIsNoLineIsLeftAlone()
{
    QFETCH(QString, kind);
    QFETCH(int, code);

    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    const QString path = m_dir->filePath(QStringLiteral("com1"));
    int fifoReader = -1;
    if (kind == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("settings the tool must not touch\n");
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        // A reader, so that an open for writing would succeed and show.
        fifoReader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(fifoReader >= 0);
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(path));
    }
    if (kind != QLatin1String("missing"))
        ageFile(path);
    const FileState before = stateOf(path);
    const FileState dirBefore = stateOf(m_dir->path());

    QtSerialLine *line = nullptr;
    std::unique_ptr<CommControl> owner;
    CommControl *comm = makeComm(path, &line, &owner);
    QVERIFY(comm->setCommPort(1).ok());
    const Status opened = comm->setPortOpen(true);
    QVERIFY(!opened.ok());
    QCOMPARE(opened.failure().code, code);
    QVERIFY2(opened.failure().text.contains(path), qPrintable(opened.failure().text));
    QVERIFY(!comm->PortOpen().value());
    QVERIFY(!line->isOpen());
    // Nothing can be sent through a port that did not open.
    QCOMPARE(comm->setOutput(QStringLiteral("A")).failure().code, int(FailureCode::PortNotOpen));

    // The window's discovery does not list it and tells the user nothing.
    frmMain window(std::move(owner));
    QList<Failure> failures;
    window.setUserMessages({[&](const Failure &f) { failures << f; }, [&](const QString &) {}});
    window.Form_Load();
    QCOMPARE(window.ui().cmbComPort->count(), 0);
    QVERIFY(!window.ui().cmdVerbindung->isEnabled());
    QVERIFY(failures.isEmpty());

    QCOMPARE(stateOf(path), before);
    QCOMPARE(stateOf(m_dir->path()), dirBefore);
    QVERIFY(!QFileInfo::exists(lockFilePath(path)));
    if (fifoReader >= 0) {
        char byte = 0;
        QCOMPARE(::read(fifoReader, &byte, 1), ssize_t(0)); // end of file: no writer ever opened it
        ::close(fifoReader);
    }
}

void tst_BadInput::portWithoutPermissionNamesTheCure_data()
{
    QTest::addColumn<QString>("members");
    QTest::addColumn<QString>("cure");

    QTest::newRow("not in the device's group")
        << QString() << QStringLiteral("Abhilfe: sudo usermod -aG kestavotest $USER, dann neu anmelden.");
    QTest::newRow("in the group, but not yet in this session")
        << QStringLiteral("nobody") << QStringLiteral("Abhilfe: abmelden und neu anmelden.");
}

// The slave of a pseudo-terminal set to 0660 for a group is what a serial port
// looks like to a user outside it. The group exists only in a group file bound
// over /etc/group in a private mount namespace, where the user nobody may be
// a member of it, while the process runs without it, as after a usermod.
void tst_BadInput::portWithoutPermissionNamesTheCure()
{
    QFETCH(QString, members);
    QFETCH(QString, cure);
    if (geteuid() != 0)
        QSKIP("needs root, to open a port as the user nobody");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (setpriv.isEmpty() || unshare.isEmpty())
        QSKIP("setpriv or unshare (util-linux) is missing");

    gid_t group = 4242;
    while (getgrgid(group))
        ++group;
    const QString slave = m_pty->slavePath();
    QCOMPARE(chown(QFile::encodeName(slave).constData(), 0, group), 0);
    QCOMPARE(chmod(QFile::encodeName(slave).constData(), 0660), 0);
    struct stat before {};
    QCOMPARE(stat(QFile::encodeName(slave).constData(), &before), 0);
    QCOMPARE(before.st_uid, uid_t(0));

    // The build tree may not be reachable for nobody; a copy in an open folder is.
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                     | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                     | QFile::ExeOther));
    const QString program = m_dir->filePath(QStringLiteral("drill_open_port"));
    QVERIFY(QFile::copy(QStringLiteral(KESTAVO_DRILL_OPEN_PORT), program));
    const QString groupFile = m_dir->filePath(QStringLiteral("group"));
    QFile::copy(QStringLiteral("/etc/group"), groupFile);
    QFile groups(groupFile);
    QVERIFY(groups.open(QIODevice::Append));
    groups.write(QStringLiteral("kestavotest:x:%1:%2\n").arg(group).arg(members).toUtf8());
    groups.close();
    QVERIFY(QFile::setPermissions(groupFile, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));

    // Under the sanitizers the child reads the leak suppressions as nobody too.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QStringList lsan = environment.value(QStringLiteral("LSAN_OPTIONS")).split(u':', Qt::SkipEmptyParts);
    for (QString &option : lsan) {
        if (!option.startsWith(QLatin1String("suppressions=")))
            continue;
        const QString copy = m_dir->filePath(QStringLiteral("lsan.supp"));
        QVERIFY(QFile::copy(option.mid(option.indexOf(u'=') + 1), copy));
        QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        option = QStringLiteral("suppressions=") + copy;
    }
    if (!lsan.isEmpty())
        environment.insert(QStringLiteral("LSAN_OPTIONS"), lsan.join(u':'));

    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start(unshare, {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                          QStringLiteral("sh"), QStringLiteral("-c"),
                          QStringLiteral("mount --bind \"$0\" /etc/group && exec \"$@\""), groupFile, setpriv,
                          QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                          QStringLiteral("--clear-groups"), program, slave});
    QVERIFY(child.waitForFinished(kChildLimitMs));
    const QStringList out = QString::fromUtf8(child.readAllStandardOutput()).split(u'\n');
    const QString err = QString::fromUtf8(child.readAllStandardError());
    QVERIFY2(out.size() >= 2, qPrintable(QStringLiteral("child said: %1 / %2").arg(out.join(u'|'), err)));
    QCOMPARE(out.at(0).toInt(), int(FailureCode::PermissionDenied));
    QVERIFY2(out.at(1).contains(QStringLiteral("„kestavotest“")), qPrintable(out.at(1)));
    QVERIFY2(out.at(1).endsWith(cure), qPrintable(out.at(1)));
    QVERIFY2(out.at(1).contains(slave), qPrintable(out.at(1)));
    QCOMPARE(child.exitCode(), 1);

    struct stat after {};
    QCOMPARE(stat(QFile::encodeName(slave).constData(), &after), 0);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(after.st_uid, before.st_uid);
    QVERIFY(!QFileInfo::exists(lockFilePath(slave)));
    QCOMPARE(m_pty->read(kQuietWatch, 0ms), QByteArray());
}

QTEST_MAIN(tst_BadInput)
#include "tst_bad_input.moc"
